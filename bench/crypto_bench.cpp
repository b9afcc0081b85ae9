// Envelope throughput beside raw OpenSSL EVP AES-256-GCM on the same buffers, with the ratio.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "crypto/credentials.hpp"
#include "crypto/crypto_session.hpp"
#include "crypto/crypto_session_test_access.hpp"

namespace {

const std::string kKey = kl::GenerateConnectionKey();
const std::string kId = "123456789";
const std::string kNonce = kl::RandomHex(16);

std::vector<std::uint8_t> Plaintext(std::size_t n) {
    return std::vector<std::uint8_t>(n, 0x5a);
}

// How many distinct envelopes a decrypt run cycles through (about 64 MiB at most).
std::size_t BatchFor(std::size_t n) {
    return std::max<std::size_t>(4, (64u << 20) / n);
}

void BM_Encrypt(benchmark::State& state) {
    const auto plain = Plaintext(static_cast<std::size_t>(state.range(0)));
    kl::CryptoSession host(kKey, kId, kNonce, true);
    for (auto _ : state) benchmark::DoNotOptimize(host.Encrypt(1, plain));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * state.range(0));
}

void BM_Decrypt(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const auto plain = Plaintext(n);
    kl::CryptoSession host(kKey, kId, kNonce, true), viewer(kKey, kId, kNonce, false);
    std::vector<std::vector<std::uint8_t>> envelopes;
    for (std::size_t i = 0; i < BatchFor(n); ++i) envelopes.push_back(host.Encrypt(1, plain));
    std::uint8_t kind;
    std::size_t next = 0;
    for (auto _ : state) {
        if (next == envelopes.size()) {
            next = 0;
            kl::CryptoSessionTestAccess::SetReceiveSequence(viewer, 0);
        }
        std::vector<std::uint8_t> out;  // fresh, as for each received message
        if (!viewer.Decrypt(envelopes[next++], kind, out)) state.SkipWithError("refused");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * state.range(0));
}

// Raw EVP: one keyed context, per message the nonce, 12 bytes of AAD, the data and the tag,
// into an output buffer of the same final size.
void BM_RawEvpEncrypt(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const auto plain = Plaintext(n);
    std::uint8_t key[32] = {1}, nonce[12] = {}, aad[12] = {'K', 'L', 2, 1};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key, nullptr);
    for (auto _ : state) {
        std::vector<std::uint8_t> out(n + 28);
        int len = 0;
        EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce);
        EVP_EncryptUpdate(ctx, nullptr, &len, aad, 12);
        EVP_EncryptUpdate(ctx, out.data() + 12, &len, plain.data(), int(n));
        EVP_EncryptFinal_ex(ctx, out.data() + 12 + len, &len);
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + 12 + n);
        benchmark::DoNotOptimize(out.data());
        ++nonce[11];
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(std::int64_t(state.iterations()) * state.range(0));
}

void BM_RawEvpDecrypt(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const auto plain = Plaintext(n);
    kl::CryptoSession host(kKey, kId, kNonce, true);
    std::vector<std::vector<std::uint8_t>> envelopes;
    for (std::size_t i = 0; i < BatchFor(n); ++i) envelopes.push_back(host.Encrypt(1, plain));
    std::uint8_t hostToViewer[32], viewerToHost[32];
    kl::DeriveSessionKeys(kKey, kId, kNonce, hostToViewer, viewerToHost);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, hostToViewer, nullptr);
    std::size_t next = 0;
    for (auto _ : state) {
        if (next == envelopes.size()) next = 0;
        const auto& e = envelopes[next++];
        std::uint8_t nonce[12] = {};
        std::memcpy(nonce + 4, e.data() + 4, 8);
        std::vector<std::uint8_t> out(n ? n : 1);
        int len = 0;
        EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce);
        EVP_DecryptUpdate(ctx, nullptr, &len, e.data(), 12);
        EVP_DecryptUpdate(ctx, out.data(), &len, e.data() + 12, int(n));
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16,
                            const_cast<std::uint8_t*>(e.data()) + 12 + n);
        if (EVP_DecryptFinal_ex(ctx, out.data() + len, &len) != 1) state.SkipWithError("refused");
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(std::int64_t(state.iterations()) * state.range(0));
}

#define KL_SIZES          \
    ->Arg(1 << 10)        \
        ->Arg(64 << 10)   \
        ->Arg(1 << 20)    \
        ->MinTime(0.2)    \
        ->Repetitions(12) \
        ->ReportAggregatesOnly(true)
BENCHMARK(BM_Encrypt) KL_SIZES;
BENCHMARK(BM_RawEvpEncrypt) KL_SIZES;
BENCHMARK(BM_Decrypt) KL_SIZES;
BENCHMARK(BM_RawEvpDecrypt) KL_SIZES;

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> rate;  // name -> bytes per second
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs) {
            auto it = r.counters.find("bytes_per_second");
            if (r.aggregate_name == "median" && it != r.counters.end())
                rate[r.run_name.function_name + "/" + r.run_name.args] = it->second;
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    // Repetitions of ours and the reference are interleaved at random, so that drift in
    // the machine's speed falls on both sides alike.
    std::vector<char*> args(argv, argv + argc);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n%-10s %-8s %14s %14s %8s\n", "operation", "size", "ours MB/s", "raw EVP MB/s",
                "ratio");
    std::printf("(medians of 12 randomly interleaved repetitions; ratio = ours / raw EVP)\n");
    for (const char* op : {"Encrypt", "Decrypt"}) {
        for (const char* size : {"1024", "65536", "1048576"}) {
            std::string ours = std::string("BM_") + op + "/" + size;
            std::string raw = std::string("BM_RawEvp") + op + "/" + size;
            if (!reporter.rate.count(ours) || !reporter.rate.count(raw)) continue;
            double a = reporter.rate[ours] / 1e6, b = reporter.rate[raw] / 1e6;
            std::printf("%-10s %-8s %14.1f %14.1f %8.3f\n", op, size, a, b, a / b);
        }
    }
    return 0;
}
