// SPDX-License-Identifier: Apache-2.0
// kvpdf info: the reader's own records of a file. The one command that reaches past
// the public headers, so it stays alone in this file.
#include "cli.h"
#include "pdfsign_inspect.h"

#include <cstdio>

namespace cli {

const Command kInfoCommand{
    "info",
    "FILE [--lang en|hu]",
    "Reads FILE's header and its whole cross-reference chain (classic tables and\n"
    "cross-reference streams, following /Prev) and prints them. The file is never\n"
    "written. Exit status 0 when the file is read, 1 when the library refuses it\n"
    "(the library's code and message are printed), 2 for a usage error.\n",
    {
        kLangOption,
    }};

namespace {

void PrintInfo(const std::string &path, const kvpdf::DocumentInfo &info) {
    printf("File: %s (%u bytes)\n", path.c_str(), info.file_length);
    printf("Header: %%PDF-%d.%d (header length %d)\n", info.major, info.minor, info.header_length);
    printf("Linearized: %s\n", info.linearized ? "yes" : "no");
    printf("Cross-reference sections (newest first): %zu\n", info.sections.size());
    for (size_t i = 0; i < info.sections.size(); ++i)
        printf("  %zu. offset %u, %s\n", i + 1, info.sections[i].offset,
               info.sections[i].is_stream ? "stream" : "table");
    printf("Objects: %u in use (%u in object streams), /Size %d\n", info.objects_in_use,
           info.compressed_objects, info.declared_size);
    printf("Root object: %d\n", info.root_obj);
    if (info.info_obj) printf("Info object: %d\n", info.info_obj);
}

} // namespace

int CommandInfo(const std::vector<std::string> &args) {
    if (PrintHelp(args, kInfoCommand)) return 0;
    Args a;
    int32_t locale = KVPDF_LOCALE_EN;
    if (!ParseOneFile(args, kInfoCommand, &a, &locale)) return 2;
    const std::string &path = a.positional[0];
    if (!InputFile(path)) return 1;
    kvpdf::DocumentInfo info;
    std::string message;
    int32_t rc = kvpdf::InspectDocument(path.c_str(), locale, &info, &message);
    if (rc != 1) {
        fprintf(stderr, "kvpdf: %s: cannot be read: %s (code %d)\n%s\n", path.c_str(),
                ToUtf8(message.substr(0, message.find('\n'))).c_str(), rc, ToUtf8(message).c_str());
        return 1;
    }
    PrintInfo(path, info);
    return 0;
}

} // namespace cli
