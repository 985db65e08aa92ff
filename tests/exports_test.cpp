// The shared library exports exactly the C interface, nothing of its internals.
#include "test_support.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

namespace {

TEST(Exports, SharedLibraryExportsOnlyTheInterface) {
    std::string out;
    ASSERT_EQ(kvtest::Run("nm -D --defined-only '" KVPDF_SHARED_LIBRARY "'", &out), 0);
    std::set<std::string> exported;
    std::istringstream in(out);
    std::string address, type, name;
    while (in >> address >> type >> name)
        if (type == "T") exported.insert(name);
    const std::set<std::string> expected = {"KvPDFInit",
                                            "KvPDFClose",
                                            "KvPDFDestroyer",
                                            "KvPDFRestorePDF",
                                            "KvPDFUpdateLocal",
                                            "KvPDFGetVersion",
                                            "KvPDFGetVersionStr",
                                            "KvIsPDFFile",
                                            "KvIsPDFFilePointer",
                                            "KvGetPDFFileVersion",
                                            "KvPdfGetLastErrorIndex",
                                            "KvPdfResetErrors",
                                            "KvPdfSetLocale",
                                            "KvPdfInitErrorStr",
                                            "KvPdfGetErrorStr",
                                            "KvPdfGetError",
                                            "KvPdfGetFirstErrorString",
                                            "KvPdfPrintErrors"};
    EXPECT_EQ(exported, expected);
}

} // namespace
