// RowBlock: the vectors of one batch, back to back in a single allocation, so that a batch of
// any size costs one block on the heap rather than one allocation per row. Large blocks come
// straight from the system and go straight back to it when freed, so a batch leaves no
// fragmented heap behind.
//
// Rows are expected to share one length. Input can disagree (a list of lists with a short
// row), and the batch must then be refused with the same error as always, which needs every
// row's length: from the first row of another length on, the end of every row is kept too.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "error.h"

namespace qorel {

class RowBlock {
public:
    RowBlock() = default;

    // Room for `rows` rows of `width` floats, so that appending them does not reallocate.
    void reserve(std::size_t rows, std::size_t width) {
        data_.reserve(rows * width);
        rows_hint_ = rows;
    }

    void add(std::span<const float> row) {
        if (count_ == 0) {
            width_ = row.size();
        } else if (ends_.empty() && row.size() != width_) {
            ends_.reserve(rows_hint_ > count_ ? rows_hint_ : count_ + 1);
            for (std::size_t i = 1; i <= count_; ++i) ends_.push_back(i * width_);
        }
        data_.insert(data_.end(), row.begin(), row.end());
        if (!ends_.empty()) ends_.push_back(data_.size());
        ++count_;
    }

    // Appends `rows` rows of `width` floats and returns them for the caller to fill (a 2-D
    // array is written in place rather than row by row). REQUIRES: the block is empty.
    std::span<float> extend(std::size_t rows, std::size_t width) {
        QOREL_ASSERT(count_ == 0, "rows extended into a block that holds rows");
        width_ = width;
        count_ = rows;
        data_.resize(rows * width);
        return data_;
    }

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    // Every row has the same length.
    bool uniform() const { return ends_.empty(); }

    std::span<const float> row(std::size_t i) const {
        if (ends_.empty()) return {data_.data() + i * width_, width_};
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return {data_.data() + begin, ends_[i] - begin};
    }

    // All floats, row after row.
    std::span<const float> floats() const { return data_; }

    // Hands the floats over, leaving the block empty.
    std::vector<float> take() {
        count_ = width_ = rows_hint_ = 0;
        std::vector<std::size_t>().swap(ends_);
        return std::move(data_);
    }

private:
    std::vector<float> data_;
    std::vector<std::size_t> ends_;  // empty while every row has length width_
    std::size_t count_ = 0;
    std::size_t width_ = 0;
    std::size_t rows_hint_ = 0;
};

}  // namespace qorel
