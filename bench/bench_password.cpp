// Building one PasswordStore from clear text, next to the raw PBKDF2 work it must do (the same
// iteration counts, in one loop, through OpenSSL): scheme 2 (SHA-1, 1137), scheme 4 (1137), the S1/S2
// key (1741) and scheme 5 (1137), the S3/S4 key (5741) and scheme 6 (5137).
#include "BenchCommon.h"

#include "Crypto/PasswordStore.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

static void BM_BuildStore(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(PasswordStore(u"backup@corp", u"s3cret password", 0).Form(7));
}
BENCHMARK(BM_BuildStore)->Unit(benchmark::kMillisecond);

static void BM_RawPbkdf2(benchmark::State& state)
{
    const std::string pass = "b\0a\0c\0k\0u\0p\0", salt(12, 's');
    unsigned char key[32];
    const std::pair<const EVP_MD*, int> runs[] = {{EVP_sha1(), 1137},   {EVP_sha256(), 1137}, {EVP_sha256(), 1741},
                                                  {EVP_sha256(), 1137}, {EVP_sha256(), 5741}, {EVP_sha256(), 5137}};
    for (auto _ : state)
        for (const auto& [md, iterations] : runs)
        {
            PKCS5_PBKDF2_HMAC(pass.data(), static_cast<int>(pass.size()), reinterpret_cast<const unsigned char*>(salt.data()),
                              static_cast<int>(salt.size()), iterations, md, 32, key);
            benchmark::DoNotOptimize(key);
        }
}
BENCHMARK(BM_RawPbkdf2)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    char folder[] = "/tmp/ferrule-bench-password-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    setenv("FERRULE_REGISTRY_DIR", folder, 1);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nBuilding a PasswordStore / its raw PBKDF2 iterations: %.2f (limit 1.2)\n",
                reporter.Time("BM_BuildStore") / reporter.Time("BM_RawPbkdf2"));
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}
