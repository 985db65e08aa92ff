// SPDX-License-Identifier: Apache-2.0
// kvpdf --man: the manual page, written from the commands' own option tables.
#include "cli.h"

#include <cstdio>
#include <string>
#include <vector>

namespace cli {

namespace {

// Text for troff: backslashes as \e, minus signs as \- (so options copy and paste as
// typed), and a line that would start with a control character guarded by \&.
std::string Troff(const std::string &text) {
    std::string out;
    bool line_start = true;
    for (char c : text) {
        if (line_start && (c == '.' || c == '\'')) out += "\\&";
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
        line_start = c == '\n';
    }
    return out;
}

// Lines of text; an empty line is a new paragraph.
void Paragraphs(const char *text) {
    std::string line;
    for (const char *p = text;; ++p) {
        if (*p && *p != '\n') {
            line += *p;
            continue;
        }
        if (!line.empty())
            printf("%s\n", Troff(line).c_str());
        else if (*p)
            printf(".PP\n");
        line.clear();
        if (!*p) break;
    }
}

void Section(const Command &c) {
    printf(".SS %s\n.PP\n", c.name);
    std::string form;
    for (const char *p = c.synopsis;; ++p) {
        if (*p && *p != '\n') {
            form += *p;
            continue;
        }
        printf("\\fBkvpdf %s\\fR %s\n", c.name, Troff(form).c_str());
        form.clear();
        if (!*p) break;
        printf(".br\n");
    }
    printf(".PP\n");
    Paragraphs(c.description);
    for (const Option &o : c.options) {
        if (o.group) printf(".PP\n.I \"%s\"\n", Troff(o.group).c_str());
        if (o.value)
            printf(".TP\n.BI \"%s \" \"%s\"\n", Troff(o.name).c_str(), Troff(o.value).c_str());
        else
            printf(".TP\n.B %s\n", Troff(o.name).c_str());
        Paragraphs(o.help);
    }
}

} // namespace

void PrintManPage(const std::vector<const Command *> &commands, const char *version) {
    printf(".TH KVPDF 1 \"\" \"kvpdf %s\" \"User Commands\"\n", Troff(version).c_str());
    printf(".SH NAME\nkvpdf \\- sign, timestamp, verify and inspect PDF files\n");
    printf(".SH SYNOPSIS\n.B kvpdf\n.I COMMAND\n.RI [ ARGS ]\n.br\n"
           ".B kvpdf\n.I COMMAND\n.B \\-\\-help\n.br\n.B kvpdf help\n.I COMMAND\n");
    printf(".SH DESCRIPTION\n");
    Paragraphs("kvpdf is the command-line tool of the kvpdf library. Every write appends one\n"
               "revision (an incremental update): the bytes already in a document are never\n"
               "changed.\n"
               "\n"
               "Every command takes --lang en|hu for the language of the library's messages\n"
               "(default en) and --help for its own usage.");
    printf(".SH COMMANDS\n");
    for (const Command *c : commands)
        Section(*c);
    printf(".SS version\n.PP\n\\fBkvpdf version\\fR\n.PP\nShows the library version.\n");
    printf(".SH EXIT STATUS\n");
    Paragraphs("0 on success, 1 on failure (the library's codes and messages are printed), 2\n"
               "for a usage error. verify also exits 1 when a signature is not intact, valid\n"
               "and trusted, when later revisions change more than signatures, validation\n"
               "data, form fields and annotations, or when they violate a certification's\n"
               "permission.");
    printf(".SH ENVIRONMENT\n.TP\n.B TMPDIR\n");
    Paragraphs("Where temporary files are made (default /tmp).");
    printf(".SH SEE ALSO\n.BR qpdf (1),\n.BR pdfsig (1)\n");
}

} // namespace cli
