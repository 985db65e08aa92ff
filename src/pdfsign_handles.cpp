// SPDX-License-Identifier: Apache-2.0
// The set of live handles: a value the library did not return, or already closed,
// must never be dereferenced.
#include "pdf_document.h"

#include <mutex>
#include <new>
#include <set>

namespace kvpdf {
namespace {

std::mutex g_mutex;
std::set<PdfDocument *> *g_live = nullptr; // never destroyed: handles may outlive statics

} // namespace

PdfDocument *HandleLookup(KvPdfHandle handle) {
    if (handle <= 0) return nullptr;
    auto *doc = reinterpret_cast<PdfDocument *>(handle);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_live || g_live->find(doc) == g_live->end()) return nullptr;
    return doc;
}

bool HandleRegister(PdfDocument *doc) {
    std::lock_guard<std::mutex> lock(g_mutex);
    try {
        if (!g_live) g_live = new std::set<PdfDocument *>();
        return g_live->insert(doc).second;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

void HandleUnregister(PdfDocument *doc) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_live) g_live->erase(doc);
}

int HandleOpenCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_live ? static_cast<int>(g_live->size()) : 0;
}

} // namespace kvpdf
