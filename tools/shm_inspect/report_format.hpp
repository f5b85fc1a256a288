// zelto-shm-inspect's two ways of telling a RegionReport: aligned text for people, one JSON
// object for scripts (the same facts, under the names the header and the rings use).
#pragma once

#include <string>

#include "region_report.hpp"

namespace zelto::inspect {

std::string report_text(const RegionReport& report);
std::string report_json(const RegionReport& report);

}  // namespace zelto::inspect
