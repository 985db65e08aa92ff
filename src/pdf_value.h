// SPDX-License-Identifier: Apache-2.0
// PDF values read token by token (ISO 32000-1, 7.2 and 7.3): dictionaries by their
// top-level entries, arrays by their items, references. The key search of the other
// readers also answers with keys of nested dictionaries; readers that compare or that
// must not take an action's /V for a field's use these.
#ifndef KVPDF_PDF_VALUE_H
#define KVPDF_PDF_VALUE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvpdf {

// A value's text: [begin, end) of the object text it was parsed from.
struct Span {
    size_t begin = 0, end = 0;
};

// One top-level entry of a dictionary.
struct DictEntry {
    std::string key; // with its '/'
    Span value;
};

// Skips white space and comments.
[[nodiscard]] size_t SkipBlank(const char *text, size_t length, size_t i);
// Past one value starting at *i (a reference "n g R" counts as one). False for broken
// syntax or nesting deeper than the parser follows.
[[nodiscard]] bool SkipValue(const char *text, size_t length, size_t *i);
// The top-level entries of the dictionary whose "<<" is at or after at (blanks first).
// False where the syntax breaks; the entries before the break are kept.
[[nodiscard]] bool ParseDict(const char *text, size_t length, size_t at,
                             std::vector<DictEntry> *entries);
// The elements of the array whose "[" is at or after at.
[[nodiscard]] bool ParseArray(const char *text, size_t length, size_t at, std::vector<Span> *items);
// The object number of a value "n g R"; 0 when it is none.
[[nodiscard]] uint32_t RefOf(const char *text, Span value);
// The value's tokens joined by single spaces, for comparisons that ignore layout.
[[nodiscard]] std::string Canonical(const char *text, Span value);
// Every object number referenced anywhere inside the value.
void CollectRefs(const char *text, Span value, std::vector<uint32_t> *refs);

// A parsed dictionary with its text.
struct Dict {
    const char *text = nullptr;
    std::vector<DictEntry> entries;
    const DictEntry *Find(const char *key) const;
    uint32_t Ref(const char *key) const;      // 0: absent or not a reference
    std::string Value(const char *key) const; // canonical; "" when absent
};

// The bytes of a literal string (escapes resolved, ISO 32000-1, 7.3.4.2) or hexadecimal
// string value; false when the value is neither.
[[nodiscard]] bool PdfStringValue(const char *text, Span value, std::string *out);
// The dictionary of an object's text ("n g obj" optional): its top-level entries; empty
// for anything else, the entries before the damage for a damaged one.
[[nodiscard]] Dict ParseObjectDict(const char *text, size_t length);

} // namespace kvpdf

#endif
