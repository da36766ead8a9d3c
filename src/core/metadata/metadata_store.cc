#include "metadata/metadata_store.h"

#include "error.h"

namespace qorel {

MetadataStore& MetadataStore::operator=(MetadataStore&& other) noexcept {
    if (this == &other) return *this;
    rows_ = std::move(other.rows_);
    texts_ = std::move(other.texts_);
    text_at_ = std::move(other.text_at_);
    pending_ = std::move(other.pending_);
    pending_count_ = other.pending_count_;
    other.pending_count_ = 0;
    return *this;
}

void MetadataStore::resize(std::size_t n) {
    // Rows cut off are gone: they must not come back as pending texts if the store grows again.
    if (n < pending_count_) pending_count_ = n;
    rows_.resize(n);
}

std::optional<std::string_view> MetadataStore::stored_text(Slot s) const {
    if (s >= pending_count_ || pending_[s].load(std::memory_order_acquire) == 0) return std::nullopt;
    const Text& t = text_at_[s];
    return std::string_view(texts_.data() + t.offset, t.length);
}

void MetadataStore::load_texts(std::size_t n, std::vector<char> texts) {
    rows_.assign(n, std::nullopt);
    texts_ = std::move(texts);
    text_at_.assign(n, Text{});
    pending_ = std::make_unique<std::atomic<std::uint8_t>[]>(n);
    for (std::size_t i = 0; i < n; ++i) pending_[i].store(0, std::memory_order_relaxed);
    pending_count_ = n;
}

void MetadataStore::set_text(Slot s, std::size_t offset, std::size_t length) {
    QOREL_ASSERT(s < pending_count_ && offset + length <= texts_.size(), "MetadataStore::set_text: out of range");
    text_at_[s] = Text{offset, static_cast<std::uint32_t>(length)};
    rows_[s].reset();
    pending_[s].store(1, std::memory_order_relaxed);
}

void MetadataStore::append_text(Slot s, std::string_view text) {
    const std::size_t offset = texts_.size();
    texts_.insert(texts_.end(), text.begin(), text.end());
    set_text(s, offset, text.size());
}

void MetadataStore::decode(Slot s) const {
    MutexLock lock(decode_mutex_);
    if (pending_[s].load(std::memory_order_relaxed) == 0) return;  // another reader did it
    const Text& t = text_at_[s];
    const char* begin = texts_.data() + t.offset;
    // load_texts' caller vouched for the text, so this cannot fail; if it ever did, the row
    // would read as absent rather than take the process down.
    Json value = Json::parse(begin, begin + t.length, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) {
        rows_[s].reset();
    } else {
        rows_[s] = std::move(value);
    }
    pending_[s].store(0, std::memory_order_release);
}

}  // namespace qorel
