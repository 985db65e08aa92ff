// The independent checkers the tests judge written PDFs by: poppler's pdfsig and
// pdftoppm, and qpdf. Each wrapper keeps the checker's raw output for failure messages.
#ifndef KVPDF_TESTS_PDF_CHECK_H
#define KVPDF_TESTS_PDF_CHECK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvtest {

// One "Signature #N:" block of `pdfsig -nocert` (poppler 22.12).
struct PdfsigSignature {
    int index = 0;          // N, from 1
    std::string field_name; // "Signature Field Name"
    std::string validation; // "Signature Validation", e.g. "Signature is Valid."
    bool valid = false;     // validation is exactly "Signature is Valid."
    bool total_document_signed = false;
    std::string subfilter;     // "Signature Type"; pdfsig says "unknown" for ETSI.RFC3161
    std::string signer;        // "Signer Certificate Common Name"
    std::string signing_time;  // "Signing Time": CMS signingTime, else /M, else the epoch
    std::string signed_ranges; // e.g. "[0 - 1234], [5678 - 9012]"
    std::string raw;           // the whole block
};

// Runs `pdfsig -nocert <pdf>`; one entry per signature field pdfsig lists, document
// timestamps and unsigned fields included (an unsigned one has only index, field_name
// and raw, with "The signature form field is not signed."). pdfsig's exit status is 0
// whether signatures are valid or not, 2 when there are none: only the entries count.
// output, when given, receives pdfsig's standard output, then its standard error.
std::vector<PdfsigSignature> RunPdfsig(const std::string &pdf, std::string *output = nullptr);

// `qpdf --check`: true only for exit status 0. Status 2 means errors, 3 means the file
// was readable but qpdf warned (damage it recovered from), which the tests count as a
// failure too. output receives qpdf's output and errors.
bool QpdfCheck(const std::string &pdf, std::string *output = nullptr);

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb; // rows top to bottom, 3 bytes a pixel
};

// Page `page` (from 1) rendered by pdftoppm at dpi; throws std::runtime_error when
// pdftoppm fails.
Image RenderPage(const std::string &pdf, int page, int dpi);

struct RegionStats {
    double mean_luma = 0;        // of `after`, 0 (black) .. 255 (white)
    double changed_fraction = 0; // pixels whose colour moved by more than 32 in a channel
    size_t pixels = 0;           // pixels measured
};

// Compares two renderings of the same page inside the rectangle (x1,y1)-(x2,y2) in PDF
// user space (points, origin at the bottom left of a MediaBox starting at 0 0); a pixel
// counts when its centre lies inside.
RegionStats CompareRegion(const Image &before, const Image &after, double x1, double y1, double x2,
                          double y2, double page_height_pt, int dpi);

// The same over the rest of the page: every pixel farther than margin_px from the
// rectangle, so anti-aliased edges do not count as changes outside it.
RegionStats CompareOutside(const Image &before, const Image &after, double x1, double y1, double x2,
                           double y2, double page_height_pt, int dpi, int margin_px = 2);

} // namespace kvtest

#endif
