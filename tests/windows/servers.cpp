// SPDX-License-Identifier: Apache-2.0
// The tests' PKI with its TSA, OCSP responder and CRL server, for host programs run
// outside the test process (tests/windows/run.sh): prints the signer's PKCS#12 file
// (password "secret"), the root certificate, its CRL, the intermediate's CRL and the
// TSA's URL, one per line, then serves on 127.0.0.1 until its standard input closes.
#include "kvtest.h"

#include <iostream>

int main() {
    kvtest::World &world = kvtest::World::Get();
    const kvtest::Pki &pki = world.pki();
    std::cout << pki.signer.p12 << '\n'
              << pki.root.pem << '\n'
              << pki.root_crl << '\n'
              << pki.inter_crl << '\n'
              << world.TsaUrl() << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return 0;
}
