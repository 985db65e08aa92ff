// SPDX-License-Identifier: Apache-2.0
// Verification outcomes, revocation sources and what the context keeps afterwards.
#include "kvsx_fixture.h"

#include <openssl/ocsp.h>

namespace kvtest {
namespace {

using Verification = PkiTest;

// The status in a DER OCSPResponse (of one certificate), -1 when it has none.
int OcspStatusOf(const std::string &der) {
    const auto *p = U8(der);
    Ptr<OCSP_RESPONSE, OCSP_RESPONSE_free> resp(
        d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(der.size())));
    Ptr<OCSP_BASICRESP, OCSP_BASICRESP_free> basic(resp ? OCSP_response_get1_basic(resp.get())
                                                        : nullptr);
    OCSP_SINGLERESP *single = basic ? OCSP_resp_get0(basic.get(), 0) : nullptr;
    return single ? OCSP_single_get0_status(single, nullptr, nullptr, nullptr, nullptr) : -1;
}

TEST_F(Verification, ValidSignatureAndAFlippedDataByte) {
    std::string report, sig = Signed(P12(pki().signer));
    EXPECT_EQ(Verify(sig, data_, 0, &report), KVSX_OK);
    EXPECT_NE(report.find("result: KVSX_OK"), std::string::npos) << report;
    EXPECT_NE(report.find("signer: CN=Teszt"), std::string::npos) << report;

    std::string data = ReadFile(data_);
    data[12345] ^= 0x20;
    WriteFile(work("changed.bin"), data);
    NewLogLines();
    EXPECT_EQ(Verify(sig, work("changed.bin"), 0, &report), KVSX_DIGEST_MISMATCH);
    EXPECT_NE(report.find("KVSX_DIGEST_MISMATCH"), std::string::npos);
    EXPECT_NE(NewLogLines().find("does not match the message-digest"), std::string::npos);
    // The signer is still reported, so a host can say who signed the changed file.
    std::vector<Node> chain = SignerChain();
    ASSERT_EQ(chain.size(), 1u);
    EXPECT_EQ(chain[0].cert, pki().signer.CertDer());
}

TEST_F(Verification, TrustOnlyFromStoredSelfIssuedCertificatesAndValidityAtItsTime) {
    const std::string sig = Signed(P12(pki().signer)), old = Signed(P12(pki().expired));
    kvsx_clean_stores();
    EXPECT_EQ(Verify(sig, data_), KVSX_UNTRUSTED) << "the root inside the CMS is no anchor";
    ASSERT_EQ(kvsx_add_cert(pki().inter.pem.c_str(), -1), KVSX_OK);
    EXPECT_EQ(Verify(sig, data_), KVSX_UNTRUSTED) << "a stored intermediate is no anchor";
    ASSERT_EQ(kvsx_add_cert(pki().root.der.c_str(), -1), KVSX_OK);
    EXPECT_EQ(Verify(sig, data_), KVSX_OK);
    std::vector<Node> chain = SignerChain();
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_EQ(chain[1].cert, pki().inter.CertDer());
    EXPECT_EQ(chain[2].cert, pki().root.CertDer());
    // An expired signer fails now and passes inside its validity.
    NewLogLines();
    EXPECT_EQ(Verify(old, data_), KVSX_EXPIRED);
    EXPECT_NE(NewLogLines().find("certificate has expired"), std::string::npos);
    EXPECT_EQ(Verify(old, data_, pki().created - 500L * 86400), KVSX_OK);
    EXPECT_EQ(Verify(old, data_, pki().created - 800L * 86400), KVSX_EXPIRED);
}

TEST_F(Verification, RevokedSignerFoundThroughFetchedOrLoadedOcspAndCrl) {
    std::string sig = Signed(P12(pki().revoked));
    EXPECT_EQ(Verify(sig, data_), KVSX_OK) << "without revocation data the status stays open";
    ASSERT_EQ(kvsx_set_use_cdp(1), KVSX_OK);
    const int ocsp_before = world().OcspRequests();
    NewLogLines();
    EXPECT_EQ(Verify(sig, data_), KVSX_REVOKED);
    EXPECT_GT(world().OcspRequests(), ocsp_before);
    EXPECT_NE(NewLogLines().find("was revoked"), std::string::npos);
    std::vector<Node> chain = SignerChain();
    ASSERT_FALSE(chain.empty());
    EXPECT_EQ(OcspStatusOf(chain[0].ocsp), V_OCSP_CERTSTATUS_REVOKED);
    EXPECT_EQ(chain[0].revocation, KVS_REVOCATION_REVOKED);
    EXPECT_TRUE(chain[0].crl.empty());

    // The responder says tryLater: the CRL server decides.
    world().SetOcspMode(OcspMode::TryLater);
    const int crl_before = world().CrlRequests();
    EXPECT_EQ(Verify(sig, data_), KVSX_REVOKED);
    EXPECT_GT(world().CrlRequests(), crl_before);
    chain = SignerChain();
    ASSERT_FALSE(chain.empty());
    EXPECT_EQ(chain[0].crl, ReadFile(pki().inter_crl));
    EXPECT_TRUE(chain[0].ocsp.empty());
    // The fetched CRL stays in the store, so no further fetch is needed ...
    ASSERT_EQ(kvsx_set_use_cdp(0), KVSX_OK);
    EXPECT_EQ(Verify(sig, data_), KVSX_REVOKED);
    // ... until the CRL store is emptied.
    EXPECT_EQ(kvsx_clean_crl_store(), KVSX_OK);
    EXPECT_EQ(Verify(sig, data_), KVSX_OK);

    // Loaded CRLs and OCSP responses decide without the network.
    const int fetches = world().OcspRequests() + world().CrlRequests();
    ASSERT_EQ(kvsx_add_crl(pki().inter_crl_pem.c_str(), -1), KVSX_OK);
    EXPECT_EQ(Verify(sig, data_), KVSX_REVOKED);
    ASSERT_EQ(kvsx_clean_crl_store(), KVSX_OK);

    const std::string ocsp = pki().OcspResponse(pki().revoked);
    ASSERT_EQ(kvsx_add_ocsp(U8(ocsp), int32_t(ocsp.size())), KVSX_OK);
    EXPECT_EQ(Verify(sig, data_), KVSX_REVOKED);
    EXPECT_EQ(SignerChain()[0].ocsp, ocsp);
    // A revocation after the validation time does not touch an earlier signature.
    EXPECT_EQ(Verify(sig, data_, pki().revocation_time - 600), KVSX_OK);
    EXPECT_EQ(world().OcspRequests() + world().CrlRequests(), fetches);

    // A CRL past its nextUpdate proves nothing "good"; the signer stays unchecked.
    kvsx_clean_stores();
    ASSERT_EQ(kvsx_add_cert(pki().root.pem.c_str(), -1), KVSX_OK);
    const std::string stale =
        pki().MakeCrl(pki().inter, {}, pki().created - 10L * 86400, pki().created - 86400);
    ASSERT_EQ(kvsx_add_crl(U8(stale), int32_t(stale.size())), KVSX_OK);
    sig = Signed(P12(pki().signer));
    EXPECT_EQ(Verify(sig, data_), KVSX_OK);
    chain = SignerChain();
    EXPECT_TRUE(chain[0].crl.empty());
    EXPECT_EQ(chain[0].revocation, KVS_REVOCATION_NOT_CHECKED);
    EXPECT_EQ(chain[0].note, "no CRL or OCSP response for it at hand, and fetching is off");

    // An intermediate CA given as an anchor ends the chain: the root is not needed.
    kvsx_clean_stores();
    ASSERT_EQ(kvsx_add_cert(pki().inter.pem.c_str(), -1), KVSX_OK);
    EXPECT_EQ(Verify(sig, data_), KVSX_UNTRUSTED);
    ASSERT_EQ(kvsx_add_trust_anchor(pki().inter.pem.c_str(), -1), KVSX_OK);
    EXPECT_EQ(Verify(sig, data_), KVSX_OK);
    ASSERT_EQ(SignerChain().size(), 2u);
    EXPECT_EQ(SignerChain()[1].revocation, KVS_REVOCATION_ANCHOR);
}

// The signature timestamp stamps the signature value; the chains read back carry the
// revocation data used.
TEST_F(Verification, SignatureTimestampAndTheChainsReadBack) {
    ASSERT_EQ(kvsx_set_use_cdp(1), KVSX_OK);
    const std::string tsa = world().TsaUrl();
    std::string sig = Signed(P12(pki().signer, KVS_CADES, tsa.c_str()));
    CmsPtr cms = ParseCms(sig);
    const std::string token = SignatureToken(FirstSigner(cms.get()));
    WriteFile(work("token.der"), token);
    WriteFile(work("value.bin"), SignatureValue(FirstSigner(cms.get())));
    EXPECT_TRUE(Openssl("ts -verify -token_in -in " + work("token.der") + " -data " +
                        work("value.bin") + " -CAfile " + pki().root.pem + " -untrusted " +
                        pki().inter.pem));
    ASSERT_EQ(Verify(sig, data_), KVSX_OK);
    std::vector<Node> chain = SignerChain();
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_EQ(chain[0].cert, pki().signer.CertDer());
    EXPECT_EQ(OcspStatusOf(chain[0].ocsp), V_OCSP_CERTSTATUS_GOOD);
    EXPECT_EQ(OcspStatusOf(chain[1].ocsp), V_OCSP_CERTSTATUS_GOOD);
    EXPECT_EQ(chain[1].revocation, KVS_REVOCATION_GOOD);
    EXPECT_TRUE(chain[2].ocsp.empty() && chain[2].crl.empty()) << "nothing revokes the anchor";
    KvsTimestampInfo *infos = nullptr;
    ASSERT_EQ(kvsx_get_timestamp_infos(ctx_, &infos), KVSX_OK);
    ASSERT_TRUE(infos && infos->chain);
    EXPECT_EQ(Str(infos->data, infos->data_length), token);
    EXPECT_EQ(OcspStatusOf(Nodes(infos->chain)[0].ocsp), V_OCSP_CERTSTATUS_GOOD);
    kvsx_free_timestamp_infos(infos);

    // Grace time: OCSP and CRL data produced about an hour after the validation time
    // are too new for a 10-minute window, so that verification keeps none of them.
    const int64_t hour_ago = static_cast<int64_t>(time(nullptr)) - 3600;
    ASSERT_EQ(kvsx_set_grace_time(600), KVSX_OK);
    ASSERT_EQ(Verify(sig, data_, hour_ago), KVSX_OK);
    EXPECT_TRUE(SignerChain()[0].ocsp.empty());
    EXPECT_TRUE(SignerChain()[0].crl.empty());
    // A two-hour window takes the CRL fetched (and kept) by the previous run.
    ASSERT_EQ(kvsx_set_grace_time(7200), KVSX_OK);
    ASSERT_EQ(Verify(sig, data_, hour_ago), KVSX_OK);
    EXPECT_EQ(SignerChain()[0].crl, ReadFile(pki().inter_crl));
    EXPECT_EQ(kvsx_set_grace_time(-1), KVSX_E_INVALID_ARG);
}

TEST_F(Verification, CorruptedSignaturesGiveCodesNotCrashes) {
    const std::string tsa = world().TsaUrl();
    std::string sig = Signed(P12(pki().signer, KVS_CADES, tsa.c_str()));
    NewLogLines();
    EXPECT_EQ(Verify(sig.substr(0, sig.size() / 2), data_), KVSX_E_BAD_CMS);
    EXPECT_NE(NewLogLines().find("ERROR kvsx_verify_signature: the signature"), std::string::npos);
    EXPECT_EQ(Verify(std::string(600, 0x30), data_), KVSX_E_BAD_CMS);
    EXPECT_EQ(Verify(pki().signer.CertDer(), data_), KVSX_E_BAD_CMS);
    // Damage all over the structure: each gives a documented code (some bytes, such as
    // those of the embedded root, are not covered by anything and may still verify).
    int refused = 0;
    for (size_t i = 0; i < sig.size(); i += 53) {
        std::string flipped = sig;
        flipped[i] ^= 0x41;
        int rc = Verify(flipped, data_);
        EXPECT_STRNE(kvsx_code_text(rc), kvsx_code_text(12345)) << "byte " << i;
        refused += rc != KVSX_OK;
    }
    EXPECT_GT(refused, static_cast<int>(sig.size() / 53 / 2));

    // A signature timestamp whose own signature is broken.
    CmsPtr cms = ParseCms(sig);
    CMS_SignerInfo *si = FirstSigner(cms.get());
    const std::string bad_token = CorruptTokenSignature(SignatureToken(si));
    int idx = CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, -1);
    X509_ATTRIBUTE_free(CMS_unsigned_delete_attr(si, idx));
    CMS_unsigned_add1_attr_by_NID(si, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE,
                                  U8(bad_token), static_cast<int>(bad_token.size()));
    NewLogLines();
    EXPECT_EQ(Verify(EncodeCms(cms.get()), data_), KVSX_TIMESTAMP_INVALID);
    EXPECT_NE(NewLogLines().find("token signature does not verify"), std::string::npos);
    std::string changed = SignatureValue(si);
    changed[10] ^= 1;
    ASN1_OCTET_STRING_set(CMS_SignerInfo_get0_signature(si), U8(changed), int(changed.size()));
    EXPECT_EQ(Verify(EncodeCms(cms.get()), data_), KVSX_SIGNATURE_INVALID);

    KvsDataObject item = FileItem(data_);
    const auto n = static_cast<uint32_t>(sig.size());
    EXPECT_EQ(kvsx_verify_signature(ctx_, &item, nullptr, 10, 0, 0, nullptr), KVSX_E_INVALID_ARG);
    EXPECT_EQ(kvsx_verify_signature(ctx_, nullptr, U8(sig), n, 0, 0, nullptr), KVSX_E_INVALID_ARG);
    EXPECT_EQ(kvsx_verify_signature(ctx_, &item, U8(sig), n, 0xffffffffu, 0x7fffffff, nullptr),
              KVSX_E_INVALID_ARG);
    auto *stale = reinterpret_cast<KvsContext *>(&item);
    EXPECT_EQ(kvsx_verify_signature(stale, &item, U8(sig), n, 0, 0, nullptr), KVSX_E_BAD_CONTEXT);
}

TEST_F(Verification, DocumentTimestampOverAFile) {
    const std::string tsa = world().TsaUrl();
    uint8_t *out = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(kvsx_create_timestamp(ctx_, -1, KVS_TS_RFC3161, data_.c_str(), &out, &length,
                                    tsa.c_str(), 0),
              KVSX_OK);
    const std::string token = Str(out, length);
    kvsx_free(out);
    WriteFile(work("doc.tst"), token);
    EXPECT_TRUE(Openssl("ts -verify -token_in -in " + work("doc.tst") + " -data " + data_ +
                        " -CAfile " + pki().root.pem + " -untrusted " + pki().inter.pem));

    ASSERT_EQ(kvsx_set_use_cdp(1), KVSX_OK);
    EXPECT_EQ(kvsx_verify_doc_timestamp(ctx_, data_.c_str(), -1, U8(token), length), KVSX_OK);
    KvsTimestampInfo *infos = nullptr;
    ASSERT_EQ(kvsx_get_timestamp_infos(ctx_, &infos), KVSX_OK);
    ASSERT_NE(infos, nullptr);
    EXPECT_EQ(Str(infos->data, infos->data_length), token);
    ASSERT_NE(infos->chain, nullptr);
    EXPECT_NE(infos->chain->ocsp, nullptr);
    kvsx_free_timestamp_infos(infos);
    std::vector<Node> chain = SignerChain();
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_EQ(chain[0].cert, pki().tsa.CertDer());

    // The data in memory, whole and with one bit changed; a broken and a cut token.
    std::string data = ReadFile(data_);
    auto in_memory = [&](const std::string &bytes, const std::string &t) {
        return kvsx_verify_doc_timestamp(ctx_, bytes.data(), int32_t(bytes.size()), U8(t),
                                         uint32_t(t.size()));
    };
    EXPECT_EQ(in_memory(data, token), KVSX_OK);
    const std::string bad = CorruptTokenSignature(token);
    EXPECT_EQ(in_memory(data, bad), KVSX_TIMESTAMP_INVALID);
    data[0] ^= 1;
    EXPECT_EQ(in_memory(data, token), KVSX_TIMESTAMP_INVALID);
    NewLogLines();
    EXPECT_EQ(in_memory(data, token.substr(0, token.size() / 2)), KVSX_E_BAD_TOKEN);
    EXPECT_NE(NewLogLines().find("KVSX_E_BAD_TOKEN"), std::string::npos);
    KvsTimestampInfo *none = nullptr;
    EXPECT_EQ(kvsx_get_timestamp_infos(ctx_, &none), KVSX_OK);
    EXPECT_EQ(none, nullptr) << "an unreadable token leaves no timestamp behind";
    kvsx_clean_stores();
    EXPECT_EQ(kvsx_verify_doc_timestamp(ctx_, data_.c_str(), -1, U8(token), length),
              KVSX_UNTRUSTED);
}

} // namespace
} // namespace kvtest
