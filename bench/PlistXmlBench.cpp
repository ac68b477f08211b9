// Our XML form of a 1 MiB property list against libplist's own conversion of the same list.
#include "BenchValues.h"

#include "platform/plist/PlistXml.h"

#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <cstdlib>

namespace keldo {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

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

void XmlWrite_LibplistAlone(benchmark::State& state) {
    std::string xml = *PlistXml::toXml(bench::listingOfAbout(kMiB));
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

void XmlRead_Ours(benchmark::State& state) {
    std::string xml = *PlistXml::toXml(bench::listingOfAbout(kMiB));
    for (auto _ : state) {
        auto value = PlistXml::fromXml(xml.data(), xml.size());
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * xml.size()));
}
BENCHMARK(XmlRead_Ours)->Unit(benchmark::kMillisecond);

void XmlRead_LibplistAlone(benchmark::State& state) {
    std::string xml = *PlistXml::toXml(bench::listingOfAbout(kMiB));
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
