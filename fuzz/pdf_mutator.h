// SPDX-License-Identifier: Apache-2.0
// A seeded mutator that damages real PDFs where readers and writers are most likely to
// trust them: cross-reference data, trailers, counts, references and compressed streams.
#ifndef KVPDF_FUZZ_PDF_MUTATOR_H
#define KVPDF_FUZZ_PDF_MUTATOR_H

#include <cstdint>
#include <string>
#include <vector>

namespace kvfuzz {

struct Mutant {
    std::string bytes;
    std::string kind;   // one of MutationKinds()
    std::string detail; // what changed and where, for reports
};

// The mutation classes, in the order in which a class with nothing to change hands over.
const std::vector<std::string> &MutationKinds();

// One mutant of pdf. The same pdf and seed always give the same mutant.
Mutant MutatePdf(const std::string &pdf, uint64_t seed);

// A well-spread seed for case `index` of the file called name in a campaign seeded
// with seed, so that adding files or mutants leaves the other cases as they were.
uint64_t CaseSeed(uint64_t seed, const std::string &name, uint64_t index);

} // namespace kvfuzz

#endif
