// A database directory's files checked against what their saves recorded: every checksum,
// the whole vectors file included (which an open skips for speed), and the log's records.
#pragma once

#include <string>
#include <vector>

#include "storage/storage.h"

namespace qorel {

struct CheckResult {
    std::string name;    // what was checked: "graph.qorel", "vectors.bin", ...
    bool ok = false;
    std::string detail;  // what was found, for a person to read
};

// Reads every file of the stored database; changes nothing. A file the database does not
// need that is missing (no log, no quantized file) is fine; a damaged one is not.
std::vector<CheckResult> check_files(const Storage& storage);

}  // namespace qorel
