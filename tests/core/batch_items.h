// Batches written item by item in tests: an item's id, vector and metadata side by side, handed
// to the database as the columns its batch calls take.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "db/database.h"

namespace qorel {

struct BatchItem {
    std::string id;
    std::vector<float> vector;
    std::optional<Json> metadata;
};

struct BatchColumns {
    std::vector<std::string> ids;
    RowBlock rows;
    std::vector<std::optional<Json>> metadata;

    explicit BatchColumns(const std::vector<BatchItem>& items) {
        for (const BatchItem& item : items) {
            ids.push_back(item.id);
            rows.add(item.vector);
            metadata.push_back(item.metadata);
        }
    }
};

inline void add_items(Database& db, const std::vector<BatchItem>& items) {
    BatchColumns c(items);
    db.add_many(std::move(c.ids), std::move(c.rows), std::move(c.metadata));
}

inline void upsert_items(Database& db, const std::vector<BatchItem>& items) {
    BatchColumns c(items);
    db.upsert_many(std::move(c.ids), std::move(c.rows), std::move(c.metadata));
}

}  // namespace qorel
