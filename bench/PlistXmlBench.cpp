// Our XML form of a 1 MiB property list against libplist's own conversion of the same list.
#include "BenchValues.h"

#include "platform/plist/PlistXml.h"

#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <cstdlib>
#include <string>

namespace keldo {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

std::string listingXml() { return std::string(PlistXml::toXml(bench::listingOfAbout(kMiB))->view()); }

void XmlWrite_Ours(benchmark::State& state) {
    PlistValue value = bench::listingOfAbout(kMiB);
    std::size_t size = 0;
    for (auto _ : state) {
        auto xml = PlistXml::toXml(value);
        size = xml->size();
        benchmark::DoNotOptimize(xml);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(XmlWrite_Ours)->Unit(benchmark::kMillisecond);

// plist_to_xml of an equivalent plist_t that already exists.
void XmlWrite_LibplistAlone(benchmark::State& state) {
    std::string xml = listingXml();
    plist_t node = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
    for (auto _ : state) {
        char* out = nullptr;
        std::uint32_t length = 0;
        plist_to_xml(node, &out, &length);
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    plist_free(node);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * xml.size()));
}
BENCHMARK(XmlWrite_LibplistAlone)->Unit(benchmark::kMillisecond);

// The least that any writer through libplist pays per message: a fresh tree (libplist's own
// copy, its cheapest way to make one), its XML form, and the tree's release.
void XmlWrite_LibplistFreshTree(benchmark::State& state) {
    std::string xml = listingXml();
    plist_t node = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
    for (auto _ : state) {
        plist_t fresh = plist_copy(node);
        char* out = nullptr;
        std::uint32_t length = 0;
        plist_to_xml(fresh, &out, &length);
        plist_free(fresh);
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    plist_free(node);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * xml.size()));
}
BENCHMARK(XmlWrite_LibplistFreshTree)->Unit(benchmark::kMillisecond);

void XmlRead_Ours(benchmark::State& state) {
    std::string xml = listingXml();
    for (auto _ : state) {
        auto value = PlistXml::fromXml(xml.data(), xml.size());
        if (!value) state.SkipWithError("no value");
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * xml.size()));
}
BENCHMARK(XmlRead_Ours)->Unit(benchmark::kMillisecond);

// plist_from_xml of the same text, and the tree's release (as ours releases its value).
void XmlRead_LibplistAlone(benchmark::State& state) {
    std::string xml = listingXml();
    for (auto _ : state) {
        plist_t node = nullptr;
        plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
        benchmark::DoNotOptimize(node);
        plist_free(node);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * xml.size()));
}
BENCHMARK(XmlRead_LibplistAlone)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace keldo
