// _qorel._salvage_log: the engine's own log decoder for the salvage tool (qorel.wal_salvage).
#pragma once

#include <nanobind/nanobind.h>

namespace qorel::py {

void bind_salvage(nanobind::module_& m);

}  // namespace qorel::py
