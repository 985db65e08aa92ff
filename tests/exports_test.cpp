// SPDX-License-Identifier: Apache-2.0
// The shared library exports exactly the functions its header declares, all of them
// names of the C interface, and nothing of its internals.
#include "kvtest.h"

#include <regex>
#include <set>
#include <sstream>

namespace {

// The 89 functions of the complete interface.
const char kInterface[] =
    "KvPDFInit KvPDFClose KvPDFDestroyer KvPDFRestorePDF KvPDFUpdateLocal KvPDFGetVersion "
    "KvPDFGetVersionStr KvIsPDFFile KvIsPDFFilePointer KvGetPDFFileVersion KvPdfGetLastErrorIndex "
    "KvPdfResetErrors KvPdfSetLocale KvPdfInitErrorStr KvPdfGetErrorStr KvPdfGetError "
    "KvPdfGetFirstErrorString KvPdfPrintErrors KvPDFSetProperty KvPDFGetProperty "
    "KvPDFSetProperties KvPDFSetKontirProperties KvPDFSetLogo KvPDFLogoFree KvPdfGetLogoDimension "
    "KvPdfGetLogoDimensionFile KvPdfFindSignatures KvPdfFindLastSignaturePos "
    "KvPDFGetSignatureCount KvPDFGetSignature KvPdfSignatureSupported "
    "KvPdfWritePDFWithoutSignature KvPdfWritePDFWithoutTimestamp KvPdfWriteDummySignature "
    "KvPdfWriteDummySignatureAndAddedContent KvPdfWriteSignature KvPdfWriteTimestamp "
    "KvPdfWritePDFByteRange KvPdfWritePDFForVerify KvPdfWritePDFSignatureByteRange "
    "KvWriteDigSigAppImage KvPdfCreateDocTimeStamp KvPDF_CryptoInit KvPDF_CryptoInitGlobal "
    "KvPDF_CryptoCleanup KvPDF_CryptoCleanupGlobal KvPDF_SetHashType KvPDF_SetUseCDP "
    "KvPDF_SetProxy KvPDF_SetGraceTime KvPDF_SetLog KvPDF_CreateSignature "
    "KvPDF_CreateSignatureAdv KvPDF_CreateTimeStamp KvPDF_CryptoVerifiySignature "
    "KvPDF_VerifiyTimestamp KvPDF_SignatureHasTimeStamp KvPDF_DecodeBase64 KvPDF_VerifyCertChain "
    "KvPDF_GetCertInfo KvPDF_GetSignerCertDataChain KvPDF_GetOcspCertDataChain "
    "KvPDF_GetTSChainInfo KvPDF_FreeData KvPDF_FreeCertDataChain KvPDF_FreeTSChain "
    "KvPDF_FreeCertificate KvPDF_AddCert KvPDF_AddCrl KvPDF_AddOcsp KvPDF_CleanStores "
    "KvPDF_CleanCRLStore KvPDF_CleanOCSPStore KvPDF_CleanCRLOCSPStore KvPDF_CleanKVSXADESCRLStore "
    "KvPDF_CleanKVSXADESStores KvPDF_VeriySignature KvPDF_AddRevocationInformation "
    "KvPdfWritePDFWithRevocationInformation KvPDF_UseCerts KvPDF_UseCRLs KvPDF_UseOCSPs "
    "KvPdfGetAttachments KvPDFGetAttachmentCount KvPDFGetAttachmentInfo "
    "KvPDFGetAttachmentFileName KvPDFSaveAttachment KvPDFSetAttachmentInfo KvPdfWriteAttachments";

TEST(Exports, SharedLibraryExportsWhatTheHeaderDeclares) {
    std::set<std::string> interface;
    std::istringstream names(kInterface);
    for (std::string name; names >> name;)
        interface.insert(name);
    ASSERT_EQ(interface.size(), 89u);
    std::string out;
    ASSERT_EQ(kvtest::Run("nm -D --defined-only '" KVPDF_SHARED_LIBRARY
                          "' | awk '$2==\"T\"{print $3}'",
                          &out),
              0);
    std::set<std::string> exported;
    std::istringstream in(out);
    for (std::string name; in >> name;)
        exported.insert(name);
    std::string header = kvtest::ReadFile(KVPDF_SOURCE_DIR "/include/kvpdf.h");
    std::set<std::string> declared;
    std::regex api(R"(\nKVPDF_API [^;(]*?\b(\w+)\()");
    for (std::sregex_iterator it(header.begin(), header.end(), api), end; it != end; ++it)
        declared.insert((*it)[1]);
    EXPECT_EQ(exported, declared);
    // Additions: a record KvPDF_FreeCertificate can release needs an allocator; the
    // extensions beyond the interface.
    for (const std::string &n : exported)
        EXPECT_TRUE(interface.count(n) || n == "KvPDF_AllocCertificate" ||
                    n == "KvPdfCheckSignature" || n == "KvPdfGetDssData" ||
                    n == "KvPdfGetAttachmentLength" || n == "KvPdfGetSignedDigest")
            << n;
}

// A host linking the static library gets only the C interface and names inside
// namespace kvpdf as strong definitions, so nothing of ours can collide with a host's
// own globals. Weak symbols (inline functions, template instances) are merged by the
// linker and cannot clash.
TEST(Exports, StaticLibraryDefinesNoStrayGlobals) {
    std::string out;
    ASSERT_EQ(kvtest::Run("nm -g -C --defined-only '" KVPDF_STATIC_LIBRARY "'", &out), 0);
    const std::regex ours(
        R"(^(Kv\w+|((typeinfo( name)?|vtable|guard variable) for )?kvpdf::.*|__(odr_)?asan.*)$)");
    std::istringstream in(out);
    std::string line;
    int strong = 0;
    while (std::getline(in, line)) {
        std::smatch m;
        if (!std::regex_match(line, m, std::regex(R"(^[0-9a-f]+ ([TDBRC]) (.*)$)"))) continue;
        ++strong;
        EXPECT_TRUE(std::regex_match(m[2].str(), ours)) << line;
    }
    EXPECT_GT(strong, 89);
}

} // namespace
