// SPDX-License-Identifier: Apache-2.0
// A strict check of one object's syntax. The reader is lenient on purpose: it finds keys
// by name in damaged text. An object the update writes again must be one that every
// other reader parses too, or the new revision carries the damage to readers that had
// worked around it in the old one.
#include "pdf_utils.h"

#include <cstring>
#include <initializer_list>

namespace kvpdf {
namespace {

constexpr int kMaxNesting = 256;

bool IsDelimiter(unsigned char c) {
    return strchr("()<>[]{}/%", c) != nullptr && c != '\0';
}

bool IsRegular(unsigned char c) {
    return !PdfIsSpace(c) && !IsDelimiter(c) && c != '\0';
}

bool IsHex(unsigned char c) {
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
}

class Checker {
public:
    Checker(const char *text, size_t length) : t_(text), n_(length) {}

    // The object at i; false with error_ set where the syntax breaks.
    bool Object(int depth) {
        Skip();
        if (i_ >= n_ || depth > kMaxNesting) return false;
        const unsigned char c = static_cast<unsigned char>(t_[i_]);
        if (c == '<' && i_ + 1 < n_ && t_[i_ + 1] == '<') return Dictionary(depth);
        if (c == '<') return HexString();
        if (c == '[') return Array(depth);
        if (c == '(') return LiteralString();
        if (c == '/') return Name();
        if (PdfIsDigit(c) || c == '+' || c == '-' || c == '.') return NumberOrReference();
        if (IsRegular(c)) {
            const size_t start = i_;
            while (i_ < n_ && IsRegular(static_cast<unsigned char>(t_[i_])))
                ++i_;
            for (const char *word : {"true", "false", "null"})
                if (i_ - start == strlen(word) && memcmp(t_ + start, word, i_ - start) == 0)
                    return true;
            i_ = start;
        }
        return false;
    }

    // White space and comments.
    void Skip() {
        while (i_ < n_) {
            if (PdfIsSpace(static_cast<unsigned char>(t_[i_]))) {
                ++i_;
            } else if (t_[i_] == '%') {
                while (i_ < n_ && t_[i_] != '\r' && t_[i_] != '\n')
                    ++i_;
            } else {
                break;
            }
        }
    }

    // "n g obj"; false, with nothing consumed, when the text does not start with one.
    bool Header() {
        const size_t start = i_;
        for (int part = 0; part < 2; ++part) {
            const size_t digits = i_;
            while (i_ < n_ && PdfIsDigit(t_[i_]))
                ++i_;
            if (i_ == digits || i_ >= n_ || !PdfIsSpace(static_cast<unsigned char>(t_[i_]))) {
                i_ = start;
                return false;
            }
            Skip();
        }
        if (!At("obj")) {
            i_ = start;
            return false;
        }
        i_ += 3;
        return true;
    }

    bool At(const char *word) const {
        const size_t k = strlen(word);
        return i_ + k <= n_ && memcmp(t_ + i_, word, k) == 0;
    }
    size_t position() const { return i_; }

private:
    bool Dictionary(int depth) {
        i_ += 2;
        for (;;) {
            Skip();
            if (At(">>")) {
                i_ += 2;
                return true;
            }
            if (i_ >= n_ || t_[i_] != '/' || !Name() || !Object(depth + 1)) return false;
        }
    }

    bool Array(int depth) {
        ++i_;
        for (;;) {
            Skip();
            if (i_ < n_ && t_[i_] == ']') {
                ++i_;
                return true;
            }
            if (!Object(depth + 1)) return false;
        }
    }

    bool HexString() {
        for (++i_; i_ < n_; ++i_) {
            const unsigned char c = static_cast<unsigned char>(t_[i_]);
            if (c == '>') {
                ++i_;
                return true;
            }
            if (!IsHex(c) && !PdfIsSpace(c)) return false;
        }
        return false;
    }

    bool LiteralString() {
        int open = 0;
        for (; i_ < n_; ++i_) {
            if (t_[i_] == '\\') {
                ++i_;
            } else if (t_[i_] == '(') {
                ++open;
            } else if (t_[i_] == ')' && --open == 0) {
                ++i_;
                return true;
            }
        }
        return false;
    }

    bool Name() {
        for (++i_; i_ < n_ && IsRegular(static_cast<unsigned char>(t_[i_])); ++i_)
            if (t_[i_] == '#' && !(i_ + 2 < n_ && IsHex(static_cast<unsigned char>(t_[i_ + 1])) &&
                                   IsHex(static_cast<unsigned char>(t_[i_ + 2]))))
                return false;
        return true;
    }

    bool Number() {
        const size_t start = i_;
        if (i_ < n_ && (t_[i_] == '+' || t_[i_] == '-')) ++i_;
        bool digits = false, point = false;
        for (; i_ < n_; ++i_) {
            if (PdfIsDigit(t_[i_])) {
                digits = true;
            } else if (t_[i_] == '.' && !point) {
                point = true;
            } else {
                break;
            }
        }
        if (!digits || (i_ < n_ && IsRegular(static_cast<unsigned char>(t_[i_])))) {
            i_ = start;
            return false;
        }
        return true;
    }

    // "n g R" is one object; any other number stands alone.
    bool NumberOrReference() {
        const size_t start = i_;
        if (!Number()) return false;
        const bool integer = memchr(t_ + start, '.', i_ - start) == nullptr;
        const size_t after = i_;
        Skip();
        if (integer && i_ < n_ && PdfIsDigit(t_[i_])) {
            const size_t generation = i_;
            if (Number() && memchr(t_ + generation, '.', i_ - generation) == nullptr) {
                Skip();
                if (i_ < n_ && t_[i_] == 'R' &&
                    (i_ + 1 >= n_ || !IsRegular(static_cast<unsigned char>(t_[i_ + 1])))) {
                    ++i_;
                    return true;
                }
            }
        }
        i_ = after;
        return true;
    }

    const char *t_;
    size_t n_;
    size_t i_ = 0;
};

} // namespace

int64_t PdfSyntaxError(const char *text, size_t length, bool first_only) {
    Checker c(text, length);
    c.Skip();
    const bool header = c.Header();
    if (!c.Object(0)) return static_cast<int64_t>(c.position());
    if (first_only) return -1;
    c.Skip();
    if (c.position() >= length || c.At("stream") || (header && c.At("endobj"))) return -1;
    return static_cast<int64_t>(c.position());
}

} // namespace kvpdf
