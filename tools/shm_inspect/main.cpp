// zelto-shm-inspect: a read-only look at a live zelto shared-memory region.
//
//   zelto-shm-inspect [--json] NAME
//
// Maps the object NAME read-only (it is opened O_RDONLY and mapped PROT_READ, so nothing can be
// written to it) and prints its header, the result of the checks every client makes when it
// attaches, the tensor pool's carving into size classes as every client carves it, and both
// rings' counters and occupancy. The counters move while the engine and its clients work: they
// are a snapshot.
//
// Exit status: 0 for a region the clients accept, 1 when NAME cannot be opened or mapped,
// 2 for a bad command line, 3 for a region the clients refuse (or whose ring counters they
// would refuse).
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/io_error.hpp"
#include "region_report.hpp"
#include "report_format.hpp"
#include "shm/region_mapping.hpp"

#ifndef ZELTO_VERSION
#define ZELTO_VERSION "0.0.0+unknown"
#endif

namespace {

constexpr int kUsageError = 2;
constexpr int kCannotOpen = 1;
constexpr int kInvalidRegion = 3;

constexpr std::string_view kUsage =
    "usage: zelto-shm-inspect [--json] NAME\n"
    "\n"
    "Maps the shared-memory region NAME (e.g. /zelto_shm) read-only and prints its header, the\n"
    "clients' attach checks, the tensor pool's size classes and both rings' counters.\n"
    "\n"
    "  --json      one JSON object instead of text\n"
    "  --help      print this help and exit\n"
    "  --version   print the version and exit\n"
    "\n"
    "Exit status: 0 for a region the clients accept, 1 when NAME cannot be opened or mapped,\n"
    "2 for a bad command line, 3 for a region the clients refuse.\n";

struct CommandLine {
    bool json = false;
    std::string name;
};

// The OS's own words for an open or map failure, with what it usually means here.
std::string open_failure_text(const zelto::shm::ShmError& error) {
    if (error.kind != zelto::shm::ShmError::Kind::Shmem) return error.message;
    std::string text = zelto::os_error_text(error.os_error);
    if (error.os_error == ENOENT) text += ": no shared-memory object has this name";
    if (error.os_error == EINVAL) text += ": an empty object, or not a valid name";
    return text;
}

int usage_error(const std::string& problem) {
    std::fprintf(stderr, "zelto-shm-inspect: %s (see zelto-shm-inspect --help)\n", problem.c_str());
    return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine line;
    bool have_name = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help") {
            std::fputs(kUsage.data(), stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("zelto-shm-inspect %s\n", ZELTO_VERSION);
            return 0;
        }
        if (arg == "--json") {
            line.json = true;
        } else if (arg.rfind("--", 0) == 0) {
            return usage_error("unknown option '" + std::string(arg) + "'");
        } else if (have_name) {
            return usage_error("one region name only, not also '" + std::string(arg) + "'");
        } else {
            line.name = arg;
            have_name = true;
        }
    }
    if (!have_name) return usage_error("give the region's name, e.g. /zelto_shm");

    auto mapping = zelto::shm::RegionMapping::open(line.name, zelto::shm::RegionAccess::ReadOnly);
    if (!mapping) {
        std::fprintf(stderr, "zelto-shm-inspect: cannot map '%s': %s\n", line.name.c_str(),
                     open_failure_text(mapping.error()).c_str());
        return kCannotOpen;
    }
    const auto report = zelto::inspect::inspect_region(line.name, *mapping);
    const std::string text =
        line.json ? zelto::inspect::report_json(report) : zelto::inspect::report_text(report);
    std::fputs(text.c_str(), stdout);
    if (!report.valid()) {
        std::fprintf(
            stderr, "zelto-shm-inspect: '%s' is not a region the clients accept: %s\n",
            line.name.c_str(),
            report.check_failure ? report.check_failure->c_str() : "ring counters out of range");
        return kInvalidRegion;
    }
    return 0;
}
