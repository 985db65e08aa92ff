// SPDX-License-Identifier: Apache-2.0
// kvpdf: the command-line front end of the PDF signature library.
#include "cli.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: kvpdf COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  sign IN OUT       sign a PDF (a new revision: the input's bytes stay as they are)\n"
    "  timestamp IN OUT  add a document timestamp from an RFC 3161 service\n"
    "  ltv IN OUT        add the validation data of every signature (certificates, CRLs,\n"
    "                    OCSP responses) in a new revision, for verifying later offline\n"
    "  verify FILE       verify every signature and document timestamp of a PDF (--json)\n"
    "  signatures FILE   list the signatures and document timestamps of a PDF\n"
    "  info FILE         show what the library reads of a PDF: header, linearization,\n"
    "                    cross-reference sections, objects, root\n"
    "  attachments FILE  list the embedded files of a PDF (--json), or save them\n"
    "                    (--extract N, --all)\n"
    "  attach IN OUT FILE...\n"
    "                    embed files in a new revision\n"
    "  version           show the library version\n"
    "\n"
    "Run 'kvpdf help COMMAND' (or 'kvpdf COMMAND --help') for the options of a command.\n"
    "Exit status: 0 success, 1 failure (the library's codes and messages are printed),\n"
    "2 usage error; verify exits 1 also when a signature is not intact, valid and trusted,\n"
    "when later revisions change more than signatures, validation data, form fields and\n"
    "annotations, or when they violate a certification's permission.\n";

// The commands in the order the usage lists them; "kvpdf --man" documents them so.
struct Entry {
    const cli::Command *table;
    int (*run)(const std::vector<std::string> &);
};
const Entry kCommands[] = {
    {&cli::kSignCommand, cli::CommandSign},
    {&cli::kTimestampCommand, cli::CommandTimestamp},
    {&cli::kLtvCommand, cli::CommandLtv},
    {&cli::kVerifyCommand, cli::CommandVerify},
    {&cli::kSignaturesCommand, cli::CommandSignatures},
    {&cli::kInfoCommand, cli::CommandInfo},
    {&cli::kAttachmentsCommand, cli::CommandAttachments},
    {&cli::kAttachCommand, cli::CommandAttach},
};

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs(kUsage, stderr);
        return 2;
    }
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    // "kvpdf help COMMAND" is "kvpdf COMMAND --help".
    if (command == "help" && !args.empty()) {
        command = args[0];
        args = {"--help"};
    }
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(kUsage, stdout);
        return 0;
    }
    if (command == "--man") {
        std::vector<const cli::Command *> tables;
        for (const Entry &e : kCommands)
            tables.push_back(e.table);
        char version[16];
        KvPDFGetVersionStr(version);
        cli::PrintManPage(tables, version);
        return 0;
    }
    const auto it = std::find_if(std::begin(kCommands), std::end(kCommands),
                                 [&command](const Entry &e) { return command == e.table->name; });
    if (it != std::end(kCommands)) return it->run(args);
    if (command == "version" || command == "--version") {
        char version[16];
        KvPDFGetVersionStr(version);
        printf("kvpdf %s\n", version);
        return 0;
    }
    fprintf(stderr, "kvpdf: unknown command '%s'\n\n%s", command.c_str(), kUsage);
    return 2;
}
