// Verifying a signed 50 MiB image against osslsigncode verify of the same file.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "bench_support.h"
#include "maintenance/authenticode.h"
#include "maintenance/signature_check.h"
#include "support/code_signing.h"

namespace {

void BM_VerifySigned50MiBVersusOsslsigncode(benchmark::State& state) {
  const std::filesystem::path dir = orv::bench::MakeDirectory();
  orv::testing::TestPki pki;
  orv::testing::WriteMinimalPe(dir / "big.exe", 0xC3, 50u << 20);
  if (!orv::testing::MakeTestPki(dir, "/CN=Bench Signer", &pki) ||
      !orv::testing::SignPe(pki, dir / "big.exe", dir / "signed.exe")) {
    state.SkipWithError("openssl or osslsigncode failed");
    return;
  }
  orv::testing::ScopedTrustedRoots roots(pki.rootCertificate);
  const std::string verify = "osslsigncode verify -CAfile " + pki.rootCertificate.string() +
                             " -in " + (dir / "signed.exe").string() + " >/dev/null 2>&1";
  const std::u16string path = orv::bench::U16((dir / "signed.exe").string());
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    if (std::system(verify.c_str()) != 0) state.SkipWithError("osslsigncode verify failed");
    const double baseline =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    start = std::chrono::steady_clock::now();
    orv::AuthenticodeVerifier verifier;
    if (!orv::FindSigner(path, verifier, {})) state.SkipWithError("not verified");
    const double ours =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["osslsigncode_ms"] = baseline * 1000;
    state.counters["ours_ms"] = ours * 1000;
    state.counters["ours_over_osslsigncode"] = ours / baseline;
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_VerifySigned50MiBVersusOsslsigncode)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
