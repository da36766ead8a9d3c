#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "metadata/filter.h"
#include "metadata/json_value.h"
#include "metadata/metadata_index.h"

namespace qorel {
namespace {

Json signed_int(std::int64_t v) { return Json(static_cast<Json::number_integer_t>(v)); }

// The slots holding a value, as a set: the index keeps them in no particular order.
SlotSet held(const MetadataIndex& index, std::string_view field, const Json& value) {
    const std::span<const Slot> slots = index.slots(field, value);
    return SlotSet(slots.begin(), slots.end());
}

void expect_same_key(const Json& a, const Json& b) {
    EXPECT_TRUE(json_equal(a, b)) << a << " vs " << b;
    EXPECT_EQ(json_hash(a), json_hash(b)) << a << " vs " << b;
}

TEST(JsonValue, NumbersEqualOnlyWithinTheirKind) {
    EXPECT_FALSE(json_equal(Json::parse("1"), Json::parse("1.0")));
    EXPECT_FALSE(json_equal(Json::parse("-1"), Json::parse("-1.0")));
    EXPECT_FALSE(json_equal(Json(true), Json::parse("1")));
    EXPECT_FALSE(json_equal(Json("1"), Json::parse("1")));
    // A non-negative value stored as a signed integer is the same key as the parsed one.
    expect_same_key(signed_int(7), Json::parse("7"));
    expect_same_key(signed_int(-7), Json::parse("-7"));
    EXPECT_FALSE(json_equal(signed_int(-7), Json::parse("7")));
    expect_same_key(Json(0.0), Json(-0.0));
    const Json nan(std::numeric_limits<double>::quiet_NaN());
    EXPECT_FALSE(json_equal(nan, nan));

    // Unsigned integers above the signed range keep their own identity.
    const Json big = Json::parse("9223372036854775809");  // 2^63 + 1
    ASSERT_TRUE(big.is_number_unsigned());
    expect_same_key(big, Json(std::uint64_t{9223372036854775809ULL}));
    EXPECT_FALSE(json_equal(big, Json::parse("9223372036854775808")));
    EXPECT_FALSE(json_equal(big, signed_int(std::numeric_limits<std::int64_t>::min() + 1)));
    EXPECT_FALSE(json_equal(big, Json(9223372036854775809.0)));
}

TEST(JsonValue, ContainersCompareStructurally) {
    expect_same_key(Json::parse(R"({"a":[1,{"b":-0.0}],"c":"x"})"),
                    Json{{"c", "x"}, {"a", {signed_int(1), Json{{"b", 0.0}}}}});
    EXPECT_FALSE(json_equal(Json::parse("[1,[2]]"), Json::parse("[1,[2.0]]")));
    EXPECT_FALSE(json_equal(Json::parse("[1,2]"), Json::parse("[1,2,3]")));
    EXPECT_FALSE(json_equal(Json::parse(R"({"a":1})"), Json::parse(R"({"a":1.0})")));
    EXPECT_FALSE(json_equal(Json::parse(R"({"a":1})"), Json::parse(R"({"b":1})")));
    EXPECT_FALSE(json_equal(Json::parse(R"({"a":1})"), Json::parse(R"({"a":1,"b":1})")));
    EXPECT_FALSE(json_equal(Json::parse("[]"), Json::parse("{}")));
    expect_same_key(Json(nullptr), Json::parse("null"));
}

TEST(MetadataIndex, IndexesOnlyScalarTopLevelMembers) {
    MetadataIndex index;
    const Json md = Json::parse(R"({"s":"x","n":1,"f":1.0,"b":true,"z":null,"arr":[1],"obj":{"k":1}})");
    index.index(3, &md);
    EXPECT_EQ(index.field_count(), 4u);
    EXPECT_EQ(index.field("z"), nullptr);
    EXPECT_EQ(index.field("arr"), nullptr);
    EXPECT_EQ(index.field("obj"), nullptr);
    EXPECT_EQ(index.field("k"), nullptr);

    const FieldIndex* n = index.field("n");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(held(index, "n", Json::parse("1")), SlotSet{3});
    EXPECT_EQ(n->find(Json(1.0)), kNoValue);
    EXPECT_EQ(index.field("f")->find(Json::parse("1")), kNoValue);
    EXPECT_NE(index.field("f")->find(Json(1.0)), kNoValue);
    const Json negative_zero = Json{{"f", -0.0}};
    index.index(5, &negative_zero);
    EXPECT_EQ(held(index, "f", Json(0.0)), SlotSet{5});
    EXPECT_EQ(held(index, "s", Json("x")), SlotSet{3});

    // Non-object and absent metadata, and NaN members, leave no trace.
    const Json arr = Json::parse("[1]");
    const Json str = Json("s");
    const Json nan = Json{{"v", std::numeric_limits<double>::quiet_NaN()}};
    index.index(4, nullptr);
    index.index(4, &arr);
    index.index(4, &str);
    index.index(4, &nan);
    EXPECT_EQ(index.field_count(), 4u);
}

TEST(MetadataIndex, RemovalLeavesNoEmptyEntries) {
    MetadataIndex index;
    const Json a = Json::parse(R"({"tag":"a","k":1})");
    const Json b = Json::parse(R"({"tag":"b","k":1})");
    index.index(0, &a);
    index.index(0, &a);  // re-indexing is idempotent
    index.index(1, &b);

    // Metadata the slot was never indexed with changes nothing.
    const Json other = Json::parse(R"({"tag":"c","unknown":5,"k":1.0})");
    const Json arr = Json::parse("[1]");
    index.remove(0, &other);
    index.remove(0, nullptr);
    index.remove(0, &arr);
    index.remove(7, &a);
    EXPECT_EQ(held(index, "tag", Json("a")), SlotSet{0});
    EXPECT_EQ(held(index, "k", Json::parse("1")), (SlotSet{0, 1}));

    index.remove(0, &a);
    const FieldIndex* tag = index.field("tag");
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag->value_count(), 1u);
    EXPECT_EQ(tag->find(Json("a")), kNoValue);
    EXPECT_EQ(held(index, "k", Json::parse("1")), SlotSet{1});

    index.remove(1, &b);
    EXPECT_EQ(index.field("tag"), nullptr);
    EXPECT_EQ(index.field("k"), nullptr);
    EXPECT_EQ(index.field_count(), 0u);
    index.remove(1, &b);  // on an empty index
}

TEST(MetadataIndex, RebuildClearsAndSkipsDeleted) {
    MetadataIndex index;
    const Json stale = Json::parse(R"({"old":1})");
    index.index(9, &stale);
    std::vector<std::optional<Json>> md = {Json::parse(R"({"c":"x"})"), Json::parse(R"({"c":"x","d":1})"),
                                           std::nullopt, Json::parse(R"({"c":"x"})")};
    index.rebuild(md, {1});
    EXPECT_EQ(index.field("old"), nullptr);
    EXPECT_EQ(index.field("d"), nullptr);
    EXPECT_EQ(held(index, "c", Json("x")), (SlotSet{0, 3}));
    index.rebuild(md, {});
    EXPECT_EQ(held(index, "c", Json("x")), (SlotSet{0, 1, 3}));
}

TEST(Filter, MatchesEachKind) {
    const Json md = Json::parse(R"({"n":1,"f":2.5,"s":"10","b":true,"z":null})");
    EXPECT_TRUE(Filter::eq("n", Json::parse("1")).matches(&md));
    EXPECT_FALSE(Filter::eq("n", Json(1.0)).matches(&md));
    EXPECT_FALSE(Filter::eq("b", Json::parse("1")).matches(&md));
    EXPECT_TRUE(Filter::eq("b", Json(true)).matches(&md));
    // Null is never indexed, so an equality on it must not match here either: a search that
    // tests slots one by one would otherwise disagree with one narrowed through the index.
    EXPECT_FALSE(Filter::eq("z", Json(nullptr)).matches(&md));
    EXPECT_FALSE(Filter::in("z", {Json(nullptr), Json(7)}).matches(&md));
    EXPECT_FALSE(Filter::eq("missing", Json(nullptr)).matches(&md));
    EXPECT_FALSE(Filter::ne("z", Json(nullptr)).matches(&md));

    EXPECT_TRUE(Filter::ne("missing", Json("x")).matches(&md));
    EXPECT_TRUE(Filter::ne("n", Json(1.0)).matches(&md));
    EXPECT_FALSE(Filter::ne("s", Json("10")).matches(&md));

    EXPECT_TRUE(Filter::in("s", {Json(10), Json("10")}).matches(&md));
    EXPECT_FALSE(Filter::in("s", {}).matches(&md));
    EXPECT_FALSE(Filter::in("missing", {Json(nullptr)}).matches(&md));

    // Comparisons read numbers of every kind, and nothing else.
    EXPECT_TRUE(Filter::gte("n", 1.0).matches(&md));
    EXPECT_FALSE(Filter::gt("n", 1.0).matches(&md));
    EXPECT_TRUE(Filter::lt("f", 3.0).matches(&md));
    EXPECT_TRUE(Filter::lte("f", 2.5).matches(&md));
    EXPECT_FALSE(Filter::gt("s", 5.0).matches(&md));
    EXPECT_FALSE(Filter::gte("b", 0.0).matches(&md));
    EXPECT_FALSE(Filter::lt("z", 1.0).matches(&md));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(Filter::lt("n", nan).matches(&md));
    EXPECT_FALSE(Filter::gte("n", nan).matches(&md));
    const Json neg = Json::parse(R"({"n":-3})");
    EXPECT_TRUE(Filter::lt("n", -2.0).matches(&neg));

    EXPECT_TRUE(Filter::all_of({Filter::gte("f", 2.0), Filter::lt("f", 3.0)}).matches(&md));
    EXPECT_FALSE(Filter::all_of({Filter::gte("f", 2.0), Filter::eq("n", Json(2))}).matches(&md));
}

TEST(Filter, NothingMatchesAbsentOrNonObjectMetadata) {
    const std::vector<Filter> filters = {Filter::ne("a", Json(1)), Filter::all_of({}), Filter::eq("a", Json(nullptr)),
                                         Filter::lt("a", 1.0), Filter::in("a", {Json(1)})};
    const Json not_objects[] = {Json::parse("[1]"), Json("a"), Json(nullptr), Json(1)};
    const Json empty = Json::object();
    for (const Filter& f : filters) {
        EXPECT_FALSE(f.matches(nullptr));
        for (const Json& md : not_objects) EXPECT_FALSE(f.matches(&md)) << md;
    }
    EXPECT_TRUE(Filter::ne("a", Json(1)).matches(&empty));
    EXPECT_TRUE(Filter::all_of({}).matches(&empty));
}

TEST(Filter, ResolvesThroughTheIndex) {
    MetadataIndex index;
    const std::vector<Json> md = {Json::parse(R"({"c":"x","n":1})"), Json::parse(R"({"c":"y","n":1,"z":null})"),
                                  Json::parse(R"({"c":"x","n":2})"), Json::parse(R"({"n":1.0})")};
    for (Slot s = 0; s < md.size(); ++s) index.index(s, &md[s]);

    EXPECT_EQ(Filter::eq("c", Json("x")).resolve_from_index(index), (SlotSet{0, 2}));
    EXPECT_EQ(Filter::eq("n", Json(1.0)).resolve_from_index(index), SlotSet{3});
    EXPECT_EQ(Filter::eq("c", Json("q")).resolve_from_index(index), SlotSet{});
    EXPECT_EQ(Filter::eq("missing", Json("x")).resolve_from_index(index), SlotSet{});
    // Null is never indexed: an equality on it narrows to nothing and matches nothing.
    EXPECT_EQ(Filter::eq("z", Json(nullptr)).resolve_from_index(index), SlotSet{});
    EXPECT_FALSE(Filter::eq("z", Json(nullptr)).matches(&md[1]));

    EXPECT_EQ(Filter::in("c", {Json("y"), Json("q"), Json("x")}).resolve_from_index(index), (SlotSet{0, 1, 2}));
    EXPECT_EQ(Filter::in("c", {}).resolve_from_index(index), SlotSet{});
    EXPECT_EQ(Filter::in("missing", {Json("x")}).resolve_from_index(index), SlotSet{});

    EXPECT_EQ(Filter::ne("c", Json("x")).resolve_from_index(index), std::nullopt);
    EXPECT_EQ(Filter::gt("n", 0.0).resolve_from_index(index), std::nullopt);

    // An empty conjunction matches every object but narrows to nothing.
    EXPECT_EQ(Filter::all_of({}).resolve_from_index(index), SlotSet{});
    EXPECT_EQ(Filter::all_of({Filter::ne("c", Json("x")), Filter::gt("n", 0.0)}).resolve_from_index(index),
              std::nullopt);
    EXPECT_EQ(Filter::all_of({Filter::ne("c", Json("x")), Filter::eq("n", Json(1))}).resolve_from_index(index),
              (SlotSet{0, 1}));
    EXPECT_EQ(Filter::all_of({Filter::eq("c", Json("x")), Filter::gt("n", 0.0), Filter::in("n", {Json(1), Json(2)})})
                  .resolve_from_index(index),
              (SlotSet{0, 2}));
    EXPECT_EQ(Filter::all_of({Filter::eq("c", Json("q")), Filter::eq("n", Json(1))}).resolve_from_index(index),
              SlotSet{});

    EXPECT_EQ(Filter::combine({Filter::eq("c", Json("x"))}).kind(), Filter::Kind::Eq);
    EXPECT_EQ(Filter::combine({}).kind(), Filter::Kind::And);
    EXPECT_EQ(Filter::combine({Filter::gte("n", 1), Filter::lt("n", 2)}).members().size(), 2u);
}

// Whatever the index narrows a filter to must contain every slot the filter matches.
TEST(Filter, ResolvedSetsContainEveryMatch) {
    const std::vector<Json> pool = {Json(0), Json(1), Json(-1), Json(1.0), Json(-0.0), Json(true),
                                    Json("a"), Json(nullptr), Json::parse("[1]")};
    std::mt19937 rng(42);
    std::vector<std::optional<Json>> md;
    for (int s = 0; s < 200; ++s) {
        if (rng() % 10 == 0) {
            md.emplace_back(std::nullopt);
            continue;
        }
        Json obj = Json::object();
        for (const char* key : {"p", "q"}) {
            if (rng() % 4 != 0) obj[key] = pool[rng() % pool.size()];
        }
        md.emplace_back(std::move(obj));
    }
    MetadataIndex index;
    index.rebuild(md, {});

    // Null and arrays are never indexed and never match, so every operand narrows soundly.
    std::vector<Filter> filters;
    for (const Json& v : pool) {
        filters.push_back(Filter::eq("p", v));
        filters.push_back(Filter::in("q", {v, Json(0.0)}));
        filters.push_back(Filter::all_of({Filter::eq("p", v), Filter::ne("q", v), Filter::in("q", {Json(1), Json("a")})}));
        filters.push_back(Filter::all_of({Filter::in("p", {v, Json(1)}), Filter::in("q", {Json(1), Json("a"), v})}));
    }
    for (const Filter& f : filters) {
        const std::optional<SlotSet> slots = f.resolve_from_index(index);
        ASSERT_TRUE(slots.has_value());
        for (Slot s = 0; s < md.size(); ++s) {
            if (f.matches(md[s] ? &*md[s] : nullptr)) {
                EXPECT_TRUE(slots->contains(s)) << "slot " << s << " metadata " << *md[s];
            } else {
                EXPECT_FALSE(slots->contains(s) && f.kind() != Filter::Kind::And) << "slot " << s;
            }
        }
    }
}

// Graph-mode searches bound and collect candidates (ranges included) without copying sets, and
// skip the per-slot test when the collection is exact: the bound must hold, every match must be
// collected once, and an exact collection must hold nothing else.
TEST(Filter, CollectedCandidatesContainEveryMatch) {
    std::mt19937 rng(7);
    const std::vector<Json> pool = {Json(0), Json(1), Json(-1), Json(1.0), Json(-0.0), Json(2.5), Json(true),
                                    Json("a"), Json(nullptr), Json(std::numeric_limits<double>::quiet_NaN())};
    std::vector<std::optional<Json>> md;
    for (int s = 0; s < 300; ++s) {
        Json obj = Json::object();
        for (const char* key : {"p", "q"}) {
            if (rng() % 5 != 0) obj[key] = pool[rng() % pool.size()];
        }
        md.emplace_back(std::move(obj));
    }
    md[3] = std::nullopt;
    md[4] = Json::parse("[1]");
    MetadataIndex index;
    index.rebuild(md, {5, 6});
    // Removing and re-adding keeps the ordered numbers in step with the value maps.
    for (Slot s = 10; s < 40; ++s) index.remove(s, &*md[s]);
    for (Slot s = 10; s < 20; ++s) index.index(s, &*md[s]);
    auto live = [](Slot s) { return s != 5 && s != 6 && (s < 20 || s >= 40); };

    std::vector<Filter> filters = {Filter::all_of({}), Filter::all_of({Filter::ne("p", Json(1)), Filter::gt("q", 0.0)}),
                                   Filter::in("p", {Json(1), Json(1), Json("a")})};
    for (double t : {-1.0, -0.0, 0.0, 1.0, 2.5, 3.0, std::numeric_limits<double>::quiet_NaN()}) {
        filters.push_back(Filter::gt("p", t));
        filters.push_back(Filter::gte("p", t));
        filters.push_back(Filter::lt("q", t));
        filters.push_back(Filter::lte("q", t));
        filters.push_back(Filter::all_of({Filter::gte("p", t), Filter::ne("q", Json(1))}));
        filters.push_back(Filter::all_of({Filter::lte("p", t), Filter::in("q", {Json(0), Json(1), Json(2.5)})}));
    }
    for (const Json& v : pool) filters.push_back(Filter::eq("p", v));

    for (const Filter& f : filters) {
        const std::optional<std::size_t> bound = f.bound_from_index(index, SIZE_MAX);
        if (!bound) {
            EXPECT_FALSE(f.narrows_exactly());
            continue;
        }
        if (f.kind() == Filter::Kind::And && f.members().empty()) {
            EXPECT_EQ(*bound, 0u);  // the empty conjunction answers nothing, like its empty set
            continue;
        }
        std::vector<Slot> collected;
        const bool exact = f.collect_from_index(index, collected);
        const SlotSet set(collected.begin(), collected.end());
        EXPECT_EQ(set.size(), collected.size());
        EXPECT_LE(collected.size(), *bound);
        std::size_t matching = 0;
        for (Slot s = 0; s < md.size(); ++s) {
            const bool match = live(s) && f.matches(md[s] ? &*md[s] : nullptr);
            matching += match;
            if (match) {
                EXPECT_TRUE(set.contains(s)) << "slot " << s << " metadata " << *md[s];
            } else if (exact || !live(s)) {
                EXPECT_FALSE(set.contains(s)) << "slot " << s;
            }
        }
        if (f.kind() != Filter::Kind::And) {
            EXPECT_EQ(*bound, matching);
        }
    }
    // A bound stops counting past its limit but still says "more".
    EXPECT_GT(*Filter::gte("p", -10.0).bound_from_index(index, 5), 5u);
    EXPECT_EQ(Filter::ne("p", Json(1)).bound_from_index(index, SIZE_MAX), std::nullopt);
    EXPECT_TRUE(Filter::all_of({Filter::eq("p", Json(1)), Filter::lt("q", 1.0)}).narrows_exactly());
    EXPECT_FALSE(Filter::all_of({Filter::eq("p", Json(1)), Filter::ne("q", Json(1))}).narrows_exactly());
}

}  // namespace
}  // namespace qorel
