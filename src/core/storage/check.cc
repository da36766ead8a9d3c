#include "storage/check.h"

#include <exception>

#include "storage/crc32.h"
#include "storage/delta_file.h"
#include "storage/graph_file.h"
#include "storage/wal_reader.h"

namespace qorel {

namespace {

CheckResult passed(std::string name, std::string detail) { return {std::move(name), true, std::move(detail)}; }
CheckResult failed(std::string name, std::string detail) { return {std::move(name), false, std::move(detail)}; }

std::string hex(std::uint32_t v) {
    static const char* digits = "0123456789abcdef";
    std::string out(8, '0');
    for (int i = 7; i >= 0; --i, v >>= 4) out[static_cast<std::size_t>(i)] = digits[v & 15];
    return out;
}

}  // namespace

std::vector<CheckResult> check_files(const Storage& storage) {
    Env& env = *storage.env;
    std::vector<CheckResult> out;
    const std::string graph_name = "graph.qorel", vectors_name = "vectors.bin", quantized_name = "vectors.sq8",
                      log_name = "wal.qorel";
    if (!env.file_exists(storage.graph_path)) {
        out.push_back(failed(graph_name, "missing"));
        return out;
    }
    // The graph file parsed whole: its checksum holds before any count in it is used.
    std::optional<SaveFingerprint> print;
    const MappedFile graph = [&] {
        try {
            return env.map_file(storage.graph_path);
        } catch (const std::exception& e) {
            out.push_back(failed(graph_name, e.what()));
            return MappedFile();
        }
    }();
    if (!out.empty()) return out;
    std::optional<ParsedGraph> g;
    try {
        const std::uint64_t vectors_bytes =
            env.file_exists(storage.vectors_path) ? env.file_size(storage.vectors_path) : 0;
        g.emplace(parse_graph_file(graph.bytes(), vectors_bytes));
        print = g->print;
        out.push_back(passed(graph_name, std::to_string(g->index.node_count()) + " slots, " +
                                             std::to_string(g->records.size()) + " ids" +
                                             (g->print && g->print->vectors_crc ? ", checksum holds" : ", no checksum (older format)")));
    } catch (const std::exception& e) {
        out.push_back(failed(graph_name, e.what()));
        return out;
    }
    // The increments of graph.delta, applied as an open applies them; they decide which prefix
    // of "vectors.bin" is in use.
    std::vector<std::uint8_t> delta_bytes;  // the records applied point into it
    if (print && print->save_id && env.file_exists(storage.delta_path)) {
        const std::string delta_name = "graph.delta";
        try {
            delta_bytes = env.read_file(storage.delta_path);
            const DeltaScan scan = scan_delta(delta_bytes, *print->save_id);
            if (scan.stale) {
                out.push_back(passed(delta_name, std::to_string(delta_bytes.size()) + " bytes of an earlier save (ignored)"));
            } else {
                std::vector<float> norms = std::move(*g->norms);
                DeltaApply st{*g, norms, {}, {}, true};
                for (const auto& payload : scan.payloads) apply_segment(payload, st);
                if (scan.vectors) {
                    print->vectors_length = scan.vectors->first;
                    print->vectors_crc = scan.vectors->second;
                }
                out.push_back(passed(delta_name, std::to_string(scan.payloads.size()) + " increments, " +
                                                     std::to_string(scan.good_length) + " bytes" +
                                                     (scan.torn ? "; an interrupted append after them (cut at the next save)" : "")));
            }
        } catch (const std::exception& e) {
            out.push_back(failed(delta_name, e.what()));
        }
    }
    if (!env.file_exists(storage.vectors_path)) {
        out.push_back(failed(vectors_name, "missing"));
    } else if (!print) {
        out.push_back(passed(vectors_name, "not recorded by the graph file (older format)"));
    } else {
        try {
            const MappedFile whole = env.map_file(storage.vectors_path);
            // Files of the current format use a prefix: rows after it are an interrupted save's.
            const bool prefix = print->save_id && whole.size() > print->vectors_length;
            const std::span<const std::uint8_t> vectors =
                prefix ? whole.bytes().first(static_cast<std::size_t>(print->vectors_length)) : whole.bytes();
            if (vectors.size() != print->vectors_length) {
                out.push_back(failed(vectors_name, std::to_string(vectors.size()) + " bytes, the save wrote " +
                                                       std::to_string(print->vectors_length)));
            } else if (print->vectors_crc) {
                const std::uint32_t crc = crc32c(vectors);
                if (crc == *print->vectors_crc)
                    out.push_back(passed(vectors_name, std::to_string(vectors.size()) + " bytes, checksum holds" +
                                                           (prefix ? "; " + std::to_string(whole.size() - vectors.size()) +
                                                                         " bytes after them (cut at the next save)"
                                                                   : std::string())));
                else
                    out.push_back(failed(vectors_name, "checksum " + hex(crc) + ", the save recorded " +
                                                           hex(*print->vectors_crc)));
            } else {
                out.push_back(passed(vectors_name, "length holds; no whole-file checksum (older format)"));
            }
        } catch (const std::exception& e) {
            out.push_back(failed(vectors_name, e.what()));
        }
    }
    if (print && print->has_quantized) {
        try {
            if (!env.file_exists(storage.quantized_path)) {
                out.push_back(failed(quantized_name, "missing (the save wrote one)"));
            } else {
                const std::vector<std::uint8_t> bytes = env.read_file(storage.quantized_path);
                const bool ok = bytes.size() == print->quantized_length && crc32(bytes) == print->quantized_crc;
                out.push_back(ok ? passed(quantized_name, std::to_string(bytes.size()) + " bytes, checksum holds")
                                 : failed(quantized_name, "does not match what the save recorded"));
            }
        } catch (const std::exception& e) {
            out.push_back(failed(quantized_name, e.what()));
        }
    }
    const std::string log_path = join_path(storage.directory, log_name);
    try {
        const WalReadResult log = read_wal(env, log_path);
        const std::string records = std::to_string(log.entries.size()) + " records, " +
                                    std::to_string(log.total_length) + " bytes";
        switch (log.tail) {
            case WalTail::None: out.push_back(passed(log_name, records)); break;
            case WalTail::Torn:
                out.push_back(passed(log_name, records + "; an interrupted append at byte " +
                                                   std::to_string(log.good_length) + " (cut at the next open)"));
                break;
            case WalTail::Damaged:
                out.push_back(failed(log_name, records + "; damaged from byte " + std::to_string(log.good_length)));
                break;
        }
    } catch (const std::exception& e) {
        out.push_back(failed(log_name, e.what()));
    }
    return out;
}

}  // namespace qorel
