// SPDX-License-Identifier: Apache-2.0
#include "pdf_mutator.h"

#include "kvtest.h"

#include <cstring>
#include <functional>
#include <random>
#include <zlib.h>

namespace kvfuzz {
namespace {

using Rng = std::mt19937_64;
constexpr size_t kNone = std::string::npos;
// How far an edit looks for blanks it may take, and for the end of its object.
constexpr size_t kReach = 8192;
// Inflated streams beyond this are left alone: the mutant should stay cheap to write.
constexpr size_t kMaxInflated = 64u << 20;

size_t Pick(Rng &rng, size_t n) {
    return n ? static_cast<size_t>(rng() % n) : 0;
}
template <class T> const T &PickOf(Rng &rng, const std::vector<T> &v) {
    return v[Pick(rng, v.size())];
}

bool IsSpace(char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0';
}
bool IsDelimiter(char c) {
    return c != '\0' && strchr("()<>[]{}/%", c) != nullptr;
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsRegular(char c) {
    return !IsSpace(c) && !IsDelimiter(c);
}
bool RegularAt(const std::string &d, size_t i) {
    return i < d.size() && IsRegular(d[i]);
}

size_t SkipSpaces(const std::string &d, size_t i) {
    while (i < d.size() && IsSpace(d[i]))
        ++i;
    return i;
}

// Occurrences of word that stand alone: "xref" inside "startxref" and "/N" at the start
// of "/Names" do not count.
std::vector<size_t> FindWord(const std::string &d, const std::string &word) {
    std::vector<size_t> hits;
    const bool name = word[0] == '/';
    for (size_t at = d.find(word); at != kNone; at = d.find(word, at + 1)) {
        if (!name && at > 0 && RegularAt(d, at - 1)) continue;
        if (!RegularAt(d, at + word.size())) hits.push_back(at);
    }
    return hits;
}

size_t FirstWordAfter(const std::string &d, const std::string &word, size_t from) {
    for (size_t at : FindWord(d, word))
        if (at >= from) return at;
    return kNone;
}

// An integer token: optional sign and digits.
struct Number {
    size_t at = 0, length = 0;
    bool negative = false;
    uint64_t value = 0; // saturates
};

// The integer starting after blanks at i.
bool NumberAt(const std::string &d, size_t i, Number *n) {
    i = SkipSpaces(d, i);
    Number out;
    out.at = i;
    if (i < d.size() && (d[i] == '-' || d[i] == '+')) out.negative = d[i++] == '-';
    const size_t digits = i;
    while (i < d.size() && IsDigit(d[i])) {
        const uint64_t next = out.value * 10 + static_cast<uint64_t>(d[i] - '0');
        out.value = next / 10 == out.value ? next : UINT64_MAX;
        ++i;
    }
    if (i == digits || i - digits > 20 || RegularAt(d, i)) return false;
    out.length = i - out.at;
    *n = out;
    return true;
}

// "N G R" starting at i: the object number's token.
bool ReferenceAt(const std::string &d, size_t i, Number *object) {
    Number gen;
    if (!NumberAt(d, i, object) || object->negative) return false;
    if (!NumberAt(d, object->at + object->length, &gen) || gen.negative) return false;
    const size_t r = SkipSpaces(d, gen.at + gen.length);
    return r < d.size() && d[r] == 'R' && !RegularAt(d, r + 1);
}

// Start of the text of object n's newest plain copy ("n 0 obj"), or kNone.
size_t FindObject(const std::string &d, uint64_t n) {
    const std::string head = std::to_string(n) + " 0 obj";
    for (size_t at = d.rfind(head); at != kNone; at = at ? d.rfind(head, at - 1) : kNone)
        if (at == 0 || !RegularAt(d, at - 1)) return at;
    return kNone;
}

// Where the object or trailer holding position at starts its own text: just after its
// "obj" or "trailer" keyword.
size_t OwnerStart(const std::string &d, size_t at) {
    const size_t floor = at > kReach ? at - kReach : 0;
    size_t best = floor;
    for (const char *word : {"obj", "trailer"}) {
        size_t hit = d.rfind(word, at);
        if (hit != kNone && hit >= floor && hit + strlen(word) <= at)
            best = std::max(best, hit + strlen(word));
    }
    return best;
}

// Where it ends: the next keyword that closes a dictionary's text.
size_t OwnerEnd(const std::string &d, size_t at) {
    size_t end = std::min(d.size(), at + kReach);
    for (const char *word : {"obj", "stream", "startxref", "xref", "trailer"}) {
        size_t hit = d.find(word, at);
        if (hit != kNone) end = std::min(end, hit);
    }
    return end;
}

// A blank whose removal leaves the same tokens: next to a delimiter or another blank.
// Line ends go only where another blank follows, so no comment swallows a line.
bool Removable(const std::string &d, size_t i) {
    const char c = d[i];
    const char next = i + 1 < d.size() ? d[i + 1] : 'x';
    const char prev = i > 0 ? d[i - 1] : 'x';
    if (c == '\n' || c == '\r') return IsSpace(next);
    if (c != ' ' && c != '\t') return false;
    return IsSpace(next) || IsDelimiter(next) || IsDelimiter(prev);
}

// Takes `need` removable blanks out of the object around [begin, end), outside that
// range, so that the object's length is what it was. False (and nothing removed) when
// the object cannot spare them.
bool Squeeze(std::string &d, size_t begin, size_t end, size_t need) {
    std::vector<size_t> picked;
    for (size_t i = end, stop = OwnerEnd(d, end); i < stop && picked.size() < need; ++i)
        if (Removable(d, i)) picked.push_back(i);
    for (size_t i = begin, stop = OwnerStart(d, begin); i > stop && picked.size() < need; --i)
        if (Removable(d, i - 1)) picked.push_back(i - 1);
    if (picked.size() < need) return false;
    std::sort(picked.rbegin(), picked.rend());
    for (size_t i : picked)
        d.erase(i, 1);
    return true;
}

// Rewrites the offset token n when it points at or past `from`; zero_pad keeps the
// width of a classic entry. Returns how much the text grew.
int64_t MoveOffset(std::string &d, const Number &n, uint64_t from, int64_t delta, bool zero_pad) {
    if (n.negative || n.value < from || n.value == UINT64_MAX) return 0;
    std::string text = std::to_string(static_cast<uint64_t>(static_cast<int64_t>(n.value) + delta));
    if (text.size() < n.length)
        text.insert(zero_pad ? 0 : text.size(), n.length - text.size(), zero_pad ? '0' : ' ');
    d.replace(n.at, n.length, text);
    return static_cast<int64_t>(text.size()) - static_cast<int64_t>(n.length);
}

// After bytes from `from` on moved by delta: the classic tables, startxref, /Prev and
// /XRefStm follow them. Text in [keep, keep_end) is the edit itself and stays as written.
// Cross-reference streams are not rewritten: their files end up with stale offsets.
void Relocate(std::string &d, uint64_t from, int64_t delta, size_t keep, size_t keep_end) {
    auto outside = [&](const Number &n) { return n.at + n.length <= keep || n.at >= keep_end; };
    for (size_t x = d.find("xref"); x != kNone; x = d.find("xref", x + 4)) {
        if ((x > 0 && RegularAt(d, x - 1)) || RegularAt(d, x + 4)) continue;
        size_t i = x + 4;
        Number first, count;
        while (NumberAt(d, i, &first) && NumberAt(d, first.at + first.length, &count) &&
               count.value < d.size() / 16) {
            i = count.at + count.length;
            for (uint64_t k = 0; k < count.value; ++k) {
                Number offset, gen;
                if (!NumberAt(d, i, &offset) || !NumberAt(d, offset.at + offset.length, &gen))
                    goto next_table;
                const size_t type = SkipSpaces(d, gen.at + gen.length);
                if (type >= d.size() || (d[type] != 'n' && d[type] != 'f')) goto next_table;
                i = type + 1;
                if (d[type] == 'n' && outside(offset))
                    i += MoveOffset(d, offset, from, delta, true);
            }
        }
    next_table:;
    }
    for (const char *word : {"startxref", "/Prev", "/XRefStm"}) {
        for (size_t at : FindWord(d, word)) {
            Number n;
            if (NumberAt(d, at + strlen(word), &n) && outside(n))
                MoveOffset(d, n, from, delta, false);
        }
    }
}

enum class Fit : int { kKeepOffsets, kShift };

// Replaces [at, at + length) with text. With kKeepOffsets a shorter text is padded with
// blanks and a longer one takes blanks its object can spare, so every offset stays
// right; otherwise the rest of the file moves, and Relocate follows it.
void Splice(std::string &d, size_t at, size_t length, std::string text, Fit fit) {
    if (fit == Fit::kKeepOffsets && text.size() <= length) {
        text.append(length - text.size(), ' ');
        d.replace(at, length, text);
        return;
    }
    const int64_t delta = static_cast<int64_t>(text.size()) - static_cast<int64_t>(length);
    d.replace(at, length, text);
    if (fit == Fit::kKeepOffsets && delta > 0 &&
        Squeeze(d, at, at + text.size(), static_cast<size_t>(delta)))
        return;
    Relocate(d, at + length, delta, at, at + text.size());
}

// The last /Root, /Size or startxref number, or fallback.
uint64_t LastNumber(const std::string &d, const std::string &word, uint64_t fallback) {
    std::vector<size_t> hits = FindWord(d, word);
    for (auto it = hits.rbegin(); it != hits.rend(); ++it) {
        Number n;
        if (NumberAt(d, *it + word.size(), &n) && !n.negative) return n.value;
    }
    return fallback;
}

bool Inflate(const std::string &in, std::string *out) {
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit(&z) != Z_OK) return false;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    char block[1 << 16];
    int rc = Z_OK;
    while (rc == Z_OK && out->size() < kMaxInflated) {
        z.next_out = reinterpret_cast<Bytef *>(block);
        z.avail_out = sizeof block;
        rc = inflate(&z, Z_NO_FLUSH);
        out->append(block, sizeof block - z.avail_out);
        if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
    }
    inflateEnd(&z);
    return !out->empty() && out->size() < kMaxInflated;
}

// ---------------------------------------------------------------- the classes

using Detail = std::string;

bool Truncate(Rng &rng, std::string &d, Detail *detail) {
    if (d.empty()) return false;
    // Half the cuts fall in the last 2 KB, where the cross-reference data lives.
    const size_t tail = std::min<size_t>(d.size(), 2048);
    const size_t at = rng() % 2 ? d.size() - 1 - Pick(rng, tail) : Pick(rng, d.size());
    *detail = "cut at " + std::to_string(at) + " of " + std::to_string(d.size());
    d.resize(at);
    return true;
}

bool Flip(Rng &rng, std::string &d, Detail *detail) {
    if (d.empty()) return false;
    static const char kTokens[] = "0123456789 \n<>[]/()R";
    const size_t flips = 1 + Pick(rng, 8), tail = std::min<size_t>(d.size(), 4096);
    for (size_t k = 0; k < flips; ++k) {
        const size_t at = rng() % 2 ? d.size() - 1 - Pick(rng, tail) : Pick(rng, d.size());
        if (rng() % 2)
            d[at] = static_cast<char>(d[at] ^ (1 << Pick(rng, 8)));
        else
            d[at] = kTokens[Pick(rng, sizeof kTokens - 1)];
        *detail += (k ? "," : "at ") + std::to_string(at);
    }
    return true;
}

// The number tokens a key such as /W or /Root leads to: every element of an array
// (at most 64), or the first number (a reference's object number).
std::vector<Number> NumbersAfter(const std::string &d, size_t key_end) {
    std::vector<Number> out;
    size_t i = SkipSpaces(d, key_end);
    Number n;
    if (i < d.size() && d[i] == '[') {
        for (++i; out.size() < 64 && NumberAt(d, i, &n); i = n.at + n.length)
            out.push_back(n);
    } else if (NumberAt(d, i, &n)) {
        out.push_back(n);
    }
    return out;
}

// Numbers of the first entries of the classic tables, and their subsection heads.
void ClassicNumbers(const std::string &d, std::vector<Number> *entries,
                    std::vector<Number> *heads) {
    for (size_t x : FindWord(d, "xref")) {
        Number first, count;
        size_t i = x + 4;
        if (!NumberAt(d, i, &first) || !NumberAt(d, first.at + first.length, &count)) continue;
        heads->push_back(first);
        heads->push_back(count);
        i = count.at + count.length;
        for (uint64_t k = 0; k < count.value && k < 64; ++k) {
            Number offset, gen;
            if (!NumberAt(d, i, &offset) || !NumberAt(d, offset.at + offset.length, &gen)) break;
            entries->push_back(offset);
            i = SkipSpaces(d, gen.at + gen.length) + 1;
        }
    }
}

bool ChangeNumber(Rng &rng, std::string &d, Detail *detail) {
    static const std::vector<std::string> kKeys = {
        "/Size", "/Prev",     "/Index",  "/W",      "/Length", "/N",     "/First",
        "/Root", "/AcroForm", "/Fields", "/Annots", "/Info",   "/Count", "/Parent"};
    std::vector<std::pair<std::string, std::vector<Number>>> families;
    for (const std::string &key : kKeys) {
        std::vector<Number> sites;
        for (size_t at : FindWord(d, key))
            for (const Number &n : NumbersAfter(d, at + key.size()))
                sites.push_back(n);
        if (!sites.empty()) families.push_back({key, sites});
    }
    std::vector<Number> startxref, entries, heads;
    for (size_t at : FindWord(d, "startxref")) {
        Number n;
        if (NumberAt(d, at + 9, &n)) startxref.push_back(n);
    }
    ClassicNumbers(d, &entries, &heads);
    if (!startxref.empty()) families.push_back({"startxref", startxref});
    if (!entries.empty()) families.push_back({"xref entry", entries});
    if (!heads.empty()) families.push_back({"xref subsection", heads});
    if (families.empty()) return false;
    const auto &family = PickOf(rng, families);
    const Number n = PickOf(rng, family.second);
    const uint64_t v = n.value;
    const std::vector<std::string> values = {"0",
                                             "-1",
                                             "-2147483648",
                                             "2147483647",
                                             "2147483648",
                                             "4294967295",
                                             "4294967296",
                                             "18446744073709551615",
                                             std::to_string(v + 1),
                                             std::to_string(v ? v - 1 : 1),
                                             std::to_string(v * 2 + 1),
                                             std::to_string(Pick(rng, v * 2 + 16))};
    const std::string value = PickOf(rng, values);
    *detail = family.first + " " + d.substr(n.at, n.length) + " -> " + value + " at " +
              std::to_string(n.at);
    Splice(d, n.at, n.length, value, Fit::kKeepOffsets);
    return true;
}

bool PrevLoop(Rng &rng, std::string &d, Detail *detail) {
    const std::vector<size_t> starts = FindWord(d, "startxref");
    if (starts.empty()) return false;
    Number first_section;
    const uint64_t oldest =
        NumberAt(d, starts.front() + 9, &first_section) ? first_section.value : 0;
    std::vector<Number> prevs;
    for (size_t at : FindWord(d, "/Prev")) {
        Number n;
        if (NumberAt(d, at + 5, &n)) prevs.push_back(n);
    }
    // Each section's own offset is the startxref number that follows its dictionary.
    auto own = [&](size_t at) {
        size_t s = FirstWordAfter(d, "startxref", at);
        Number n;
        return s != kNone && NumberAt(d, s + 9, &n) ? n.value : oldest;
    };
    const int choice = static_cast<int>(Pick(rng, 10));
    if (prevs.empty()) {
        // A single section: give its dictionary a /Prev to itself.
        size_t trailer = d.rfind("trailer");
        size_t at = trailer != kNone ? d.find("<<", trailer) : kNone;
        if (at != kNone) {
            at += 2;
        } else {
            std::vector<size_t> xrefs = FindWord(d, "/XRef");
            if (xrefs.empty()) return false;
            at = xrefs.back() + 5;
        }
        const uint64_t target = choice < 7 ? own(at) : 0;
        *detail = "added /Prev " + std::to_string(target) + " at " + std::to_string(at);
        Splice(d, at, 0, "/Prev " + std::to_string(target) + " ", Fit::kShift);
        return true;
    }
    const Number n = PickOf(rng, prevs);
    const uint64_t target = choice < 5 ? own(n.at) : choice < 8 ? oldest : 0;
    *detail = "/Prev " + d.substr(n.at, n.length) + " -> " + std::to_string(target) + " at " +
              std::to_string(n.at);
    Splice(d, n.at, n.length, std::to_string(target), Fit::kKeepOffsets);
    return true;
}

bool DeleteKeyword(Rng &rng, std::string &d, Detail *detail) {
    std::vector<std::pair<std::string, std::vector<size_t>>> present;
    for (const char *word : {"xref", "endobj", "endstream", "startxref"}) {
        std::vector<size_t> hits = FindWord(d, word);
        if (!hits.empty()) present.push_back({word, hits});
    }
    if (present.empty()) return false;
    const auto &word = PickOf(rng, present);
    const size_t at = PickOf(rng, word.second);
    // Blanked, the offsets stay right and only the keyword is missing; removed, what
    // follows moves too.
    const Fit fit = rng() % 2 ? Fit::kKeepOffsets : Fit::kShift;
    *detail = (fit == Fit::kKeepOffsets ? "blanked " : "removed ") + word.first + " at " +
              std::to_string(at);
    Splice(d, at, word.first.size(), "", fit);
    return true;
}

// Where "N G" ends at `end` begins: back over two digit runs separated by blanks.
size_t BackOverPair(const std::string &d, size_t end) {
    size_t i = end;
    while (i > 0 && IsDigit(d[i - 1]))
        --i;
    while (i > 0 && IsSpace(d[i - 1]))
        --i;
    while (i > 0 && IsDigit(d[i - 1]))
        --i;
    return i;
}

bool RedirectReference(Rng &rng, std::string &d, Detail *detail) {
    std::vector<Number> refs;
    for (size_t r = d.find(" R"); r != kNone; r = d.find(" R", r + 2)) {
        if (RegularAt(d, r + 2)) continue;
        const size_t i = BackOverPair(d, r);
        Number object;
        if (i < r && (i == 0 || !RegularAt(d, i - 1)) && ReferenceAt(d, i, &object))
            refs.push_back(object);
    }
    if (refs.empty()) return false;
    const Number n = PickOf(rng, refs);
    const uint64_t catalog = LastNumber(d, "/Root", 1);
    // The object holding the reference, when it is a plain one (not the trailer).
    uint64_t self = catalog;
    const size_t obj = d.rfind(" obj", n.at), closed = d.rfind("endobj", n.at);
    if (obj != kNone && (closed == kNone || closed < obj)) {
        const size_t i = BackOverPair(d, obj);
        Number owner;
        if (NumberAt(d, i, &owner)) self = owner.value;
    }
    const uint64_t size = LastNumber(d, "/Size", 1000);
    const int choice = static_cast<int>(Pick(rng, 4));
    const std::string target = choice == 0   ? std::to_string(self)
                               : choice == 1 ? std::to_string(catalog)
                               : choice == 2 ? std::string("0") // object 0 is always free
                                             : std::to_string(size + 1 + Pick(rng, 1000));
    static const char *const kWhat[] = {"itself", "the catalog", "missing", "missing"};
    *detail = "reference " + d.substr(n.at, n.length) + " -> " + target + " (" + kWhat[choice] +
              ") at " + std::to_string(n.at);
    Splice(d, n.at, n.length, target, Fit::kKeepOffsets);
    return true;
}

bool DamageIndex(Rng &rng, std::string &d, Detail *detail) {
    static const std::vector<std::string> kIndexes = {"[0 1 0 1 0 1]", "[4294967295 1]", "[5 0]"};
    const std::string index = PickOf(rng, kIndexes);
    std::vector<size_t> arrays;
    for (size_t at : FindWord(d, "/Index")) {
        size_t open = SkipSpaces(d, at + 6);
        if (open < d.size() && d[open] == '[' && d.find(']', open) != kNone) arrays.push_back(open);
    }
    if (!arrays.empty()) {
        const size_t open = PickOf(rng, arrays), close = d.find(']', open);
        *detail = "/Index " + d.substr(open, std::min<size_t>(close + 1 - open, 40)) + " -> " +
                  index + " at " + std::to_string(open);
        Splice(d, open, close + 1 - open, index, Fit::kKeepOffsets);
        return true;
    }
    std::vector<size_t> streams = FindWord(d, "/XRef");
    if (!streams.empty()) {
        const size_t at = PickOf(rng, streams) + 5;
        *detail = "added /Index " + index + " at " + std::to_string(at);
        Splice(d, at, 0, "/Index" + index, Fit::kKeepOffsets);
        return true;
    }
    // Classic tables: the same three faults in a subsection head.
    std::vector<Number> entries, heads;
    ClassicNumbers(d, &entries, &heads);
    if (heads.empty()) return false;
    const size_t pair = Pick(rng, heads.size() / 2) * 2;
    const Number first = heads[pair], count = heads[pair + 1];
    const int choice = static_cast<int>(Pick(rng, 3));
    if (choice == 0) {
        // The subsection again, right after itself.
        size_t end = count.at + count.length, i = end;
        for (uint64_t k = 0; k < count.value; ++k) {
            Number offset, gen;
            if (!NumberAt(d, i, &offset) || !NumberAt(d, offset.at + offset.length, &gen)) break;
            i = SkipSpaces(d, gen.at + gen.length) + 1;
            end = i;
        }
        const std::string copy = d.substr(first.at, end - first.at) + "\n";
        *detail = "subsection at " + std::to_string(first.at) + " repeated";
        Splice(d, end, 0, "\n" + copy, Fit::kShift);
    } else if (choice == 1) {
        *detail = "subsection start -> 4294967295 at " + std::to_string(first.at);
        Splice(d, first.at, first.length, "4294967295", Fit::kKeepOffsets);
    } else {
        *detail = "subsection count -> 0 at " + std::to_string(count.at);
        Splice(d, count.at, count.length, "0", Fit::kKeepOffsets);
    }
    return true;
}

bool EditFlateStream(Rng &rng, std::string &d, Detail *detail) {
    struct Site {
        size_t dict, keyword, data, end;
    };
    std::vector<Site> sites;
    for (size_t at : FindWord(d, "stream")) {
        const size_t dict = OwnerStart(d, at);
        if (dict < 3 || d.compare(dict - 3, 3, "obj") != 0) continue;
        if (d.substr(dict, at - dict).find("/FlateDecode") == kNone) continue;
        size_t data = at + 6;
        if (data < d.size() && d[data] == '\r') ++data;
        if (data < d.size() && d[data] == '\n') ++data;
        const size_t end = d.find("endstream", data);
        if (end != kNone && d.find("endobj", end) != kNone) sites.push_back({dict, at, data, end});
    }
    if (sites.empty()) return false;
    const Site s = PickOf(rng, sites);
    // The data's end: by a direct /Length when it is plausible, else before "endstream".
    size_t data_end = s.end;
    const std::string dict = d.substr(s.dict, s.keyword - s.dict);
    const size_t length_key =
        FindWord(dict, "/Length").empty() ? kNone : FindWord(dict, "/Length")[0];
    Number length, indirect;
    const bool has_length = length_key != kNone && NumberAt(dict, length_key + 7, &length);
    const bool is_reference = has_length && ReferenceAt(dict, length.at, &indirect);
    if (has_length && !is_reference && s.data + length.value <= s.end)
        data_end = s.data + length.value;
    else
        while (data_end > s.data && (d[data_end - 1] == '\n' || d[data_end - 1] == '\r'))
            --data_end;
    std::string plain;
    if (!Inflate(d.substr(s.data, data_end - s.data), &plain)) return false;
    const size_t edits = 1 + Pick(rng, 4);
    for (size_t k = 0; k < edits; ++k) {
        char &c = plain[Pick(rng, plain.size())];
        c = IsDigit(c) ? static_cast<char>('0' + Pick(rng, 10))
                       : static_cast<char>(c ^ (1 + Pick(rng, 255)));
    }
    // A level whose output fits where the old data was keeps every offset right.
    const size_t room = data_end - s.data;
    std::string packed;
    for (int level : {6, 9, 1, 2, 3, 4, 5, 7, 8}) {
        packed = kvtest::Deflate(plain, level);
        if (packed.size() <= room) break;
    }
    const std::string new_length = std::to_string(packed.size());
    std::string new_dict = dict;
    if (has_length && !is_reference) new_dict.replace(length.at, length.length, new_length);
    const size_t endobj = d.find("endobj", s.end);
    *detail = std::to_string(edits) + " bytes changed in the " + std::to_string(plain.size()) +
              "-byte stream at " + std::to_string(s.dict) + ", /Length " + std::to_string(room) +
              " -> " + new_length;
    Splice(d, s.dict, endobj - s.dict,
           new_dict + d.substr(s.keyword, s.data - s.keyword) + packed + "\nendstream\n",
           Fit::kKeepOffsets);
    if (is_reference) {
        const size_t object = FindObject(d, indirect.value);
        Number value;
        if (object != kNone && NumberAt(d, d.find("obj", object) + 3, &value))
            Splice(d, value.at, value.length, new_length, Fit::kKeepOffsets);
    }
    return true;
}

bool HugeCount(Rng &rng, std::string &d, Detail *detail) {
    struct Site {
        size_t at, length;
        std::string text, what;
    };
    std::vector<Site> sites;
    auto numbers = [&](const std::string &key, const std::string &value, bool objstm_only) {
        for (size_t at : FindWord(d, key)) {
            Number n;
            if (!NumberAt(d, at + key.size(), &n)) continue;
            if (objstm_only &&
                d.substr(OwnerStart(d, at), at - OwnerStart(d, at) + 64).find("/ObjStm") == kNone)
                continue;
            sites.push_back({n.at, n.length, value, key + " " + value});
        }
    };
    numbers("/N", "1000000", true);
    numbers("/Size", "2000000000", false);
    numbers("/Count", "100000000", false);
    for (const char *key : {"/Kids", "/Annots"}) {
        for (size_t at : FindWord(d, key)) {
            size_t open = SkipSpaces(d, at + strlen(key));
            Number object;
            if (ReferenceAt(d, open, &object)) {
                const size_t body = FindObject(d, object.value);
                open = body == kNone ? kNone : SkipSpaces(d, d.find("obj", body) + 3);
            }
            if (open == kNone || open >= d.size() || d[open] != '[') continue;
            const size_t close = d.find(']', open);
            if (close == kNone || close - open > kReach) continue;
            const std::string inside = d.substr(open + 1, close - open - 1);
            size_t refs = 0;
            for (size_t r = inside.find('R'); r != kNone; r = inside.find('R', r + 1))
                ++refs;
            if (refs == 0) continue;
            // About 50,000 entries: far more than any page or node holds.
            std::string text;
            for (size_t k = 0; k < 50000 / refs + 1; ++k)
                text += inside + " ";
            sites.push_back({open + 1, inside.size(), text,
                             std::string(key) + " array of " + std::to_string(refs) + " x " +
                                 std::to_string(50000 / refs + 1)});
        }
    }
    if (sites.empty()) return false;
    const Site &s = PickOf(rng, sites);
    *detail = s.what + " at " + std::to_string(s.at);
    Splice(d, s.at, s.length, s.text, Fit::kKeepOffsets);
    return true;
}

using Mutation = bool (*)(Rng &, std::string &, Detail *);
const Mutation kMutations[] = {
    Truncate,          Flip,        ChangeNumber,    PrevLoop, DeleteKeyword,
    RedirectReference, DamageIndex, EditFlateStream, HugeCount};

} // namespace

const std::vector<std::string> &MutationKinds() {
    static const std::vector<std::string> kinds = {"truncate",     "byte-flip",      "xref-number",
                                                   "prev-loop",    "keyword-delete", "ref-redirect",
                                                   "index-damage", "flate-edit",     "huge-count"};
    return kinds;
}

Mutant MutatePdf(const std::string &pdf, uint64_t seed) {
    Rng rng(seed);
    const size_t count = MutationKinds().size(), first = Pick(rng, count);
    for (size_t k = 0; k < count; ++k) {
        const size_t kind = (first + k) % count;
        Mutant m{pdf, MutationKinds()[kind], ""};
        if (kMutations[kind](rng, m.bytes, &m.detail)) return m;
    }
    return {pdf, "none", "nothing to change"};
}

uint64_t CaseSeed(uint64_t seed, const std::string &name, uint64_t index) {
    uint64_t h = 1469598103934665603ull; // FNV-1a
    for (unsigned char c : name)
        h = (h ^ c) * 1099511628211ull;
    uint64_t z = seed ^ h ^ (index * 0x9E3779B97F4A7C15ull); // splitmix64
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

} // namespace kvfuzz
