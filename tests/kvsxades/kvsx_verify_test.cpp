// Verification outcomes, revocation sources and what the context keeps afterwards.
#include "kvsx_test_util.h"

#include <openssl/ocsp.h>

#include <ctime>

namespace kvsx_test {
namespace {

using Verification = PkiTest;

// Status of `serial` in a DER OCSPResponse, or -1.
int ocsp_status_of(const Bytes &der, const Entity &subject) {
    const unsigned char *p = der.data();
    OCSP_RESPONSE *resp = d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(der.size()));
    OCSP_BASICRESP *basic = resp != nullptr ? OCSP_response_get1_basic(resp) : nullptr;
    OCSP_CERTID *id = OCSP_cert_to_id(EVP_sha1(), subject.cert.get(), subject.issuer->cert.get());
    int status = -1, reason = 0;
    if (basic == nullptr ||
        OCSP_resp_find_status(basic, id, &status, &reason, nullptr, nullptr, nullptr) != 1)
        status = -1;
    OCSP_CERTID_free(id);
    OCSP_BASICRESP_free(basic);
    OCSP_RESPONSE_free(resp);
    return status;
}

TEST_F(Verification, ValidSignatureAndAFlippedDataByte) {
    Bytes sig;
    ASSERT_EQ(sign(p12(pki().signer), data_, sig), KVSX_OK);
    std::string report;
    EXPECT_EQ(verify(sig, data_, 0, &report), KVSX_OK);
    EXPECT_NE(report.find("result: KVSX_OK"), std::string::npos) << report;
    EXPECT_NE(report.find("signer: CN=Teszt"), std::string::npos) << report;

    Bytes data = read_file(data_);
    data[12345] ^= 0x20;
    write_file(work("changed.bin"), data);
    new_log_lines();
    EXPECT_EQ(verify(sig, work("changed.bin"), 0, &report), KVSX_DIGEST_MISMATCH);
    EXPECT_NE(report.find("KVSX_DIGEST_MISMATCH"), std::string::npos);
    EXPECT_NE(new_log_lines().find("does not match the message-digest"), std::string::npos);
    // The signer is still reported, so a host can say who signed the changed file.
    std::vector<Node> chain = signer_chain();
    ASSERT_EQ(chain.size(), 1u);
    EXPECT_EQ(chain[0].cert, pki().signer.cert_der());
}

TEST_F(Verification, TrustComesOnlyFromStoredSelfIssuedCertificates) {
    Bytes sig;
    ASSERT_EQ(sign(p12(pki().signer), data_, sig), KVSX_OK);
    kvsx_clean_stores();
    EXPECT_EQ(verify(sig, data_), KVSX_UNTRUSTED) << "the root inside the CMS is no anchor";
    ASSERT_EQ(kvsx_add_cert(pki().inter.pem.c_str(), -1), KVSX_OK);
    EXPECT_EQ(verify(sig, data_), KVSX_UNTRUSTED) << "a stored intermediate is no anchor";
    ASSERT_EQ(kvsx_add_cert(pki().root.der.c_str(), -1), KVSX_OK);
    EXPECT_EQ(verify(sig, data_), KVSX_OK);
    std::vector<Node> chain = signer_chain();
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_EQ(chain[1].cert, pki().inter.cert_der());
    EXPECT_EQ(chain[2].cert, pki().root.cert_der());
}

TEST_F(Verification, ExpiredSignerFailsNowAndPassesInsideItsValidity) {
    Bytes sig;
    ASSERT_EQ(sign(p12(pki().expired), data_, sig), KVSX_OK);
    new_log_lines();
    EXPECT_EQ(verify(sig, data_), KVSX_EXPIRED);
    EXPECT_NE(new_log_lines().find("certificate has expired"), std::string::npos);
    int64_t inside = static_cast<int64_t>(pki().created) - 500L * 86400;
    EXPECT_EQ(verify(sig, data_, inside), KVSX_OK);
    int64_t before_it = static_cast<int64_t>(pki().created) - 800L * 86400;
    EXPECT_EQ(verify(sig, data_, before_it), KVSX_EXPIRED);
}

TEST_F(Verification, RevokedSignerFoundThroughFetchedOcsp) {
    Bytes sig;
    ASSERT_EQ(sign(p12(pki().revoked), data_, sig), KVSX_OK);
    EXPECT_EQ(verify(sig, data_), KVSX_OK) << "without revocation data the status stays open";
    ASSERT_EQ(kvsx_set_use_cdp(1), KVSX_OK);
    int ocsp_before = world().ocsp_requests();
    new_log_lines();
    EXPECT_EQ(verify(sig, data_), KVSX_REVOKED);
    EXPECT_GT(world().ocsp_requests(), ocsp_before);
    EXPECT_NE(new_log_lines().find("was revoked"), std::string::npos);
    std::vector<Node> chain = signer_chain();
    ASSERT_FALSE(chain.empty());
    EXPECT_EQ(ocsp_status_of(chain[0].ocsp, pki().revoked), V_OCSP_CERTSTATUS_REVOKED);
    EXPECT_TRUE(chain[0].crl.empty());
}

TEST_F(Verification, RevokedSignerFoundThroughFetchedCrlWhenOcspFails) {
    Bytes sig;
    ASSERT_EQ(sign(p12(pki().revoked), data_, sig), KVSX_OK);
    ASSERT_EQ(kvsx_set_use_cdp(1), KVSX_OK);
    world().set_ocsp_mode(OcspMode::TryLater);
    int crl_before = world().crl_requests();
    EXPECT_EQ(verify(sig, data_), KVSX_REVOKED);
    EXPECT_GT(world().crl_requests(), crl_before);
    std::vector<Node> chain = signer_chain();
    ASSERT_FALSE(chain.empty());
    EXPECT_EQ(chain[0].crl, read_file(pki().inter_crl));
    EXPECT_TRUE(chain[0].ocsp.empty());

    // The fetched CRL stays in the store, so no further fetch is needed ...
    ASSERT_EQ(kvsx_set_use_cdp(0), KVSX_OK);
    EXPECT_EQ(verify(sig, data_), KVSX_REVOKED);
    // ... until the CRL store is emptied.
    EXPECT_EQ(kvsx_clean_crl_store(), KVSX_OK);
    EXPECT_EQ(verify(sig, data_), KVSX_OK);
}

TEST_F(Verification, LoadedCrlsAndOcspResponsesDecideWithoutNetwork) {
    Bytes sig;
    ASSERT_EQ(sign(p12(pki().revoked), data_, sig), KVSX_OK);
    int fetches = world().ocsp_requests() + world().crl_requests();
    ASSERT_EQ(kvsx_add_crl(pki().inter_crl_pem.c_str(), -1), KVSX_OK);
    EXPECT_EQ(verify(sig, data_), KVSX_REVOKED);
    ASSERT_EQ(kvsx_clean_crl_store(), KVSX_OK);

    Bytes ocsp = pki().ocsp_response(pki().revoked);
    ASSERT_EQ(kvsx_add_ocsp(ocsp.data(), static_cast<int32_t>(ocsp.size())), KVSX_OK);
    EXPECT_EQ(verify(sig, data_), KVSX_REVOKED);
    EXPECT_EQ(signer_chain()[0].ocsp, ocsp);

    // A revocation after the validation time does not touch an earlier signature.
    int64_t earlier = static_cast<int64_t>(pki().revocation_time) - 600;
    EXPECT_EQ(verify(sig, data_, earlier), KVSX_OK);
    EXPECT_EQ(world().ocsp_requests() + world().crl_requests(), fetches);

    // A CRL past its nextUpdate proves nothing "good"; the signer stays unchecked.
    kvsx_clean_stores();
    ASSERT_EQ(kvsx_add_cert(pki().root.pem.c_str(), -1), KVSX_OK);
    Bytes stale =
        pki().make_crl(pki().inter, {}, pki().created - 10L * 86400, pki().created - 86400);
    ASSERT_EQ(kvsx_add_crl(stale.data(), static_cast<int32_t>(stale.size())), KVSX_OK);
    Bytes good_sig;
    ASSERT_EQ(sign(p12(pki().signer), data_, good_sig), KVSX_OK);
    EXPECT_EQ(verify(good_sig, data_), KVSX_OK);
    EXPECT_TRUE(signer_chain()[0].crl.empty());
}

TEST_F(Verification, ChainsReadBackCarryTheRevocationDataUsed) {
    ASSERT_EQ(kvsx_set_use_cdp(1), KVSX_OK);
    std::string tsa = world().tsa_url();
    Bytes sig;
    ASSERT_EQ(sign(p12(pki().signer, KVS_CADES, tsa.c_str()), data_, sig), KVSX_OK);
    ASSERT_EQ(verify(sig, data_), KVSX_OK);

    std::vector<Node> chain = signer_chain();
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_EQ(chain[0].cert, pki().signer.cert_der());
    EXPECT_EQ(ocsp_status_of(chain[0].ocsp, pki().signer), V_OCSP_CERTSTATUS_GOOD);
    EXPECT_EQ(ocsp_status_of(chain[1].ocsp, pki().inter), V_OCSP_CERTSTATUS_GOOD);
    EXPECT_TRUE(chain[2].ocsp.empty() && chain[2].crl.empty()) << "nothing revokes the anchor";

    KvsTimestampInfo *infos = nullptr;
    ASSERT_EQ(kvsx_get_timestamp_infos(ctx_, &infos), KVSX_OK);
    ASSERT_NE(infos, nullptr);
    std::vector<Node> ts_chain;
    for (KvsCertDataChain *n = infos->chain; n != nullptr; n = n->next)
        ts_chain.push_back({Bytes(n->cert, n->cert + n->cert_length), Bytes(),
                            Bytes(n->ocsp, n->ocsp + (n->ocsp != nullptr ? n->ocsp_length : 0))});
    kvsx_free_timestamp_infos(infos);
    ASSERT_EQ(ts_chain.size(), 3u);
    EXPECT_EQ(ts_chain[0].cert, pki().tsa.cert_der());
    EXPECT_EQ(ocsp_status_of(ts_chain[0].ocsp, pki().tsa), V_OCSP_CERTSTATUS_GOOD);

    // Grace time: OCSP and CRL data produced about an hour after the validation time
    // are too new for a 10-minute window, so that verification keeps none of them.
    int64_t hour_ago = static_cast<int64_t>(time(nullptr)) - 3600;
    ASSERT_EQ(kvsx_set_grace_time(600), KVSX_OK);
    ASSERT_EQ(verify(sig, data_, hour_ago), KVSX_OK);
    EXPECT_TRUE(signer_chain()[0].ocsp.empty());
    EXPECT_TRUE(signer_chain()[0].crl.empty());
    // A two-hour window takes the CRL fetched (and kept) by the previous run.
    ASSERT_EQ(kvsx_set_grace_time(7200), KVSX_OK);
    ASSERT_EQ(verify(sig, data_, hour_ago), KVSX_OK);
    EXPECT_EQ(signer_chain()[0].crl, read_file(pki().inter_crl));
    EXPECT_EQ(kvsx_set_grace_time(-1), KVSX_E_INVALID_ARG);
}

TEST_F(Verification, CorruptedSignaturesGiveCodesNotCrashes) {
    std::string tsa = world().tsa_url();
    Bytes sig;
    ASSERT_EQ(sign(p12(pki().signer, KVS_CADES, tsa.c_str()), data_, sig), KVSX_OK);

    Bytes truncated(sig.begin(), sig.begin() + static_cast<long>(sig.size() / 2));
    new_log_lines();
    EXPECT_EQ(verify(truncated, data_), KVSX_E_BAD_CMS);
    EXPECT_NE(new_log_lines().find("ERROR kvsx_verify_signature: the signature"),
              std::string::npos);
    EXPECT_EQ(verify(Bytes(600, 0x30), data_), KVSX_E_BAD_CMS);
    EXPECT_EQ(verify(pki().signer.cert_der(), data_), KVSX_E_BAD_CMS);
    // Damage all over the structure: each gives a documented code (some bytes, such as
    // those of the embedded root, are not covered by anything and may still verify).
    int refused = 0;
    for (size_t i = 0; i < sig.size(); i += 53) {
        Bytes flipped = sig;
        flipped[i] ^= 0x41;
        int rc = verify(flipped, data_);
        EXPECT_STRNE(kvsx_code_text(rc), kvsx_code_text(12345)) << "byte " << i;
        refused += rc != KVSX_OK;
    }
    EXPECT_GT(refused, static_cast<int>(sig.size() / 53 / 2));

    CmsPtr cms = parse_cms(sig);
    CMS_SignerInfo *si = first_signer(cms.get());
    Bytes token = signature_token(si);
    int idx = CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, -1);
    X509_ATTRIBUTE_free(CMS_unsigned_delete_attr(si, idx));
    Bytes bad_token = corrupt_token_signature(token);
    CMS_unsigned_add1_attr_by_NID(si, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE,
                                  bad_token.data(), static_cast<int>(bad_token.size()));
    new_log_lines();
    EXPECT_EQ(verify(encode_cms(cms.get()), data_), KVSX_TIMESTAMP_INVALID);
    EXPECT_NE(new_log_lines().find("token signature does not verify"), std::string::npos);

    ASN1_OCTET_STRING *value = CMS_SignerInfo_get0_signature(si);
    Bytes changed(ASN1_STRING_get0_data(value),
                  ASN1_STRING_get0_data(value) + ASN1_STRING_length(value));
    changed[10] ^= 1;
    ASN1_OCTET_STRING_set(value, changed.data(), static_cast<int>(changed.size()));
    EXPECT_EQ(verify(encode_cms(cms.get()), data_), KVSX_SIGNATURE_INVALID);

    KvsDataObject item = file_item(data_);
    EXPECT_EQ(kvsx_verify_signature(ctx_, &item, nullptr, 10, 0, 0, nullptr), KVSX_E_INVALID_ARG);
    EXPECT_EQ(kvsx_verify_signature(ctx_, nullptr, sig.data(), static_cast<uint32_t>(sig.size()), 0,
                                    0, nullptr),
              KVSX_E_INVALID_ARG);
    EXPECT_EQ(kvsx_verify_signature(ctx_, &item, sig.data(), static_cast<uint32_t>(sig.size()),
                                    0xffffffffu, 0x7fffffff, nullptr),
              KVSX_E_INVALID_ARG);
    auto *stale = reinterpret_cast<KvsContext *>(&item);
    EXPECT_EQ(kvsx_verify_signature(stale, &item, sig.data(), static_cast<uint32_t>(sig.size()), 0,
                                    0, nullptr),
              KVSX_E_BAD_CONTEXT);
}

TEST_F(Verification, DocumentTimestampOverAFile) {
    std::string tsa = world().tsa_url();
    uint8_t *out = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(kvsx_create_timestamp(ctx_, -1, KVS_TS_RFC3161, data_.c_str(), &out, &length,
                                    tsa.c_str(), 0),
              KVSX_OK);
    Bytes token(out, out + length);
    kvsx_free(out);
    write_file(work("doc.tst"), token);
    std::string printed;
    EXPECT_EQ(run_command(std::string(KVSX_OPENSSL) + " ts -verify -token_in -in " +
                              work("doc.tst") + " -data " + data_ + " -CAfile " + pki().root.pem +
                              " -untrusted " + pki().inter.pem,
                          &printed),
              0)
        << printed;

    ASSERT_EQ(kvsx_set_use_cdp(1), KVSX_OK);
    EXPECT_EQ(kvsx_verify_doc_timestamp(ctx_, data_.c_str(), -1, token.data(), length), KVSX_OK);
    KvsTimestampInfo *infos = nullptr;
    ASSERT_EQ(kvsx_get_timestamp_infos(ctx_, &infos), KVSX_OK);
    ASSERT_NE(infos, nullptr);
    EXPECT_EQ(Bytes(infos->data, infos->data + infos->data_length), token);
    ASSERT_NE(infos->chain, nullptr);
    EXPECT_NE(infos->chain->ocsp, nullptr);
    kvsx_free_timestamp_infos(infos);
    std::vector<Node> chain = signer_chain();
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_EQ(chain[0].cert, pki().tsa.cert_der());

    Bytes data = read_file(data_);
    EXPECT_EQ(kvsx_verify_doc_timestamp(ctx_, reinterpret_cast<const char *>(data.data()),
                                        static_cast<int32_t>(data.size()), token.data(), length),
              KVSX_OK);
    data[0] ^= 1;
    EXPECT_EQ(kvsx_verify_doc_timestamp(ctx_, reinterpret_cast<const char *>(data.data()),
                                        static_cast<int32_t>(data.size()), token.data(), length),
              KVSX_TIMESTAMP_INVALID);
    Bytes bad = corrupt_token_signature(token);
    EXPECT_EQ(kvsx_verify_doc_timestamp(ctx_, data_.c_str(), -1, bad.data(),
                                        static_cast<uint32_t>(bad.size())),
              KVSX_TIMESTAMP_INVALID);
    new_log_lines();
    Bytes half(token.begin(), token.begin() + static_cast<long>(token.size() / 2));
    EXPECT_EQ(kvsx_verify_doc_timestamp(ctx_, data_.c_str(), -1, half.data(),
                                        static_cast<uint32_t>(half.size())),
              KVSX_E_BAD_TOKEN);
    EXPECT_NE(new_log_lines().find("KVSX_E_BAD_TOKEN"), std::string::npos);
    KvsTimestampInfo *none = nullptr;
    EXPECT_EQ(kvsx_get_timestamp_infos(ctx_, &none), KVSX_OK);
    EXPECT_EQ(none, nullptr) << "an unreadable token leaves no timestamp behind";
    kvsx_clean_stores();
    EXPECT_EQ(kvsx_verify_doc_timestamp(ctx_, data_.c_str(), -1, token.data(), length),
              KVSX_UNTRUSTED);
}

TEST_F(Verification, CertificateChainsOnTheirOwn) {
    EXPECT_EQ(kvsx_verify_cert_chain(pki().signer.chain_pem.c_str(), -1, 0), KVSX_UNTRUSTED)
        << "the intermediate is not stored yet";
    Bytes inter = pki().inter.cert_der();
    ASSERT_EQ(kvsx_add_cert(inter.data(), static_cast<int32_t>(inter.size())), KVSX_OK);
    Bytes signer = pki().signer.cert_der();
    EXPECT_EQ(kvsx_verify_cert_chain(signer.data(), static_cast<int32_t>(signer.size()), 0),
              KVSX_OK);
    EXPECT_EQ(kvsx_verify_cert_chain(pki().expired.pem.c_str(), -1, 0), KVSX_EXPIRED);
    EXPECT_EQ(kvsx_verify_cert_chain(pki().revoked.pem.c_str(), -1, 0), KVSX_OK);
    Bytes crl = read_file(pki().inter_crl);
    ASSERT_EQ(kvsx_add_crl(crl.data(), static_cast<int32_t>(crl.size())), KVSX_OK);
    EXPECT_EQ(kvsx_verify_cert_chain(pki().revoked.pem.c_str(), -1, 0), KVSX_REVOKED);
    EXPECT_EQ(kvsx_verify_cert_chain(pki().revoked.pem.c_str(), -1,
                                     static_cast<int64_t>(pki().revocation_time) - 60),
              KVSX_OK);
    Bytes junk(100, 0x30);
    EXPECT_EQ(kvsx_verify_cert_chain(junk.data(), static_cast<int32_t>(junk.size()), 0),
              KVSX_E_BAD_CERT);
    EXPECT_EQ(kvsx_verify_cert_chain(nullptr, 10, 0), KVSX_E_INVALID_ARG);
    EXPECT_EQ(kvsx_verify_cert_chain(signer.data(), static_cast<int32_t>(signer.size()), INT64_MAX),
              KVSX_E_INVALID_ARG);
}

} // namespace
} // namespace kvsx_test
