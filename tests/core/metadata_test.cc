#include <gtest/gtest.h>

#include <cmath>
#include <compare>
#include <cstdint>
#include <limits>
#include <optional>
#include <algorithm>
#include <random>
#include <set>
#include <memory>
#include <string>
#include <span>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "db/plan_cache.h"
#include "metadata/filter.h"
#include "metadata/flat_text.h"
#include "metadata/metadata_store.h"
#include "metadata/column_filter.h"
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

TEST(JsonNumberCompare, OrdersIntegersAndFloatsByExactValue) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::uint64_t u_max = std::numeric_limits<std::uint64_t>::max();
    const std::int64_t i_min = std::numeric_limits<std::int64_t>::min();
    // Each row: a < b.
    const std::vector<std::pair<Json, Json>> less = {
        {Json(9007199254740992.0), Json(std::uint64_t{9007199254740993})},  // 2**53 < 2**53 + 1
        {Json(std::int64_t{9223372036854775806}), Json(std::int64_t{9223372036854775807})},
        {Json(std::int64_t{9223372036854775807}), Json(9223372036854775808.0)},
        {Json(u_max), Json(18446744073709551616.0)},  // 2**64 - 1 < 2.0**64
        {Json(-9223372036854775808.0 * 1.5), Json(i_min)},
        {Json(i_min), Json(i_min + 1)},
        {Json(-1), Json(-0.5)},
        {Json(-0.5), Json(0)},
        {Json(std::uint64_t{2}), Json(2.5)},
        {Json(2.5), Json(3)},
        {Json(-inf), Json(i_min)},
        {Json(u_max), Json(inf)},
        {Json(i_min), Json(std::uint64_t{0})},
    };
    for (const auto& [a, b] : less) {
        EXPECT_TRUE(json_number_compare(a, b) < 0) << a.dump() << " < " << b.dump();
        EXPECT_TRUE(json_number_compare(b, a) > 0) << b.dump() << " > " << a.dump();
    }
    EXPECT_TRUE(json_number_compare(Json(1), Json(1.0)) == 0);
    EXPECT_TRUE(json_number_compare(Json(std::int64_t{0}), Json(-0.0)) == 0);
    EXPECT_TRUE(json_number_compare(Json(i_min), Json(-9223372036854775808.0)) == 0);
    EXPECT_TRUE(json_number_compare(Json(std::int64_t{5}), Json(std::uint64_t{5})) == 0);
    for (const Json& x : {Json(1), Json(1.0), Json(u_max), Json(nan)}) {
        EXPECT_TRUE(json_number_compare(x, Json(nan)) == std::partial_ordering::unordered);
        EXPECT_TRUE(json_number_compare(Json(nan), x) == std::partial_ordering::unordered);
    }
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
    // The empty conjunction matches nothing, as its columns say, so that nested in a
    // disjunction or a negation it means the same on every path.
    EXPECT_FALSE(Filter::all_of({}).matches(&empty));
    EXPECT_TRUE(Filter::negate(Filter::all_of({})).matches(&empty));
}

TEST(Filter, ListsThroughTheIndex) {
    MetadataIndex index;
    const std::vector<Json> md = {Json::parse(R"({"c":"x","n":1})"), Json::parse(R"({"c":"y","n":1,"z":null})"),
                                  Json::parse(R"({"c":"x","n":2})"), Json::parse(R"({"n":1.0})")};
    for (Slot s = 0; s < md.size(); ++s) index.index(s, &md[s]);
    using Slots = std::optional<std::vector<Slot>>;
    auto listed = [&](const Filter& f) { return ColumnFilter(f, index).listed(); };

    EXPECT_EQ(listed(Filter::eq("c", Json("x"))), (Slots{{0, 2}}));
    EXPECT_EQ(listed(Filter::eq("n", Json(1.0))), (Slots{{3}}));
    EXPECT_EQ(listed(Filter::eq("c", Json("q"))), Slots{std::vector<Slot>{}});
    EXPECT_EQ(listed(Filter::eq("missing", Json("x"))), Slots{std::vector<Slot>{}});
    // Null is never indexed: an equality on it lists nothing and matches nothing.
    EXPECT_EQ(listed(Filter::eq("z", Json(nullptr))), Slots{std::vector<Slot>{}});
    EXPECT_FALSE(Filter::eq("z", Json(nullptr)).matches(&md[1]));

    EXPECT_EQ(listed(Filter::in("c", {Json("y"), Json("q"), Json("x")})), (Slots{{0, 1, 2}}));
    EXPECT_EQ(listed(Filter::in("c", {})), Slots{std::vector<Slot>{}});
    EXPECT_EQ(listed(Filter::in("missing", {Json("x")})), Slots{std::vector<Slot>{}});

    // An exclusion alone lists nothing to narrow to; a range lists its numbers.
    EXPECT_EQ(listed(Filter::ne("c", Json("x"))), std::nullopt);
    EXPECT_EQ(listed(Filter::gt("n", 0.0)), (Slots{{0, 1, 2, 3}}));

    // An empty conjunction matches every object but lists nothing; a conjunction's members
    // all apply to what its smallest member lists.
    EXPECT_EQ(listed(Filter::all_of({})), Slots{std::vector<Slot>{}});
    EXPECT_EQ(listed(Filter::all_of({Filter::ne("c", Json("x")), Filter::gt("n", 0.0)})), (Slots{{1, 3}}));
    EXPECT_EQ(listed(Filter::all_of({Filter::ne("c", Json("x")), Filter::eq("n", Json(1))})), (Slots{{1}}));
    EXPECT_EQ(listed(Filter::all_of({Filter::eq("c", Json("x")), Filter::gt("n", 0.0), Filter::in("n", {Json(1), Json(2)})})),
              (Slots{{0, 2}}));
    EXPECT_EQ(listed(Filter::all_of({Filter::eq("c", Json("q")), Filter::eq("n", Json(1))})), Slots{std::vector<Slot>{}});

    EXPECT_EQ(Filter::combine({Filter::eq("c", Json("x"))}).kind(), Filter::Kind::Eq);
    EXPECT_EQ(Filter::combine({}).kind(), Filter::Kind::And);
    EXPECT_EQ(Filter::combine({Filter::gte("n", 1), Filter::lt("n", 2)}).members().size(), 2u);
}

// Whatever the index narrows a filter to must contain every slot the filter matches.
TEST(Filter, ListedSlotsContainEveryMatch) {
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
        const std::optional<std::vector<Slot>> list = ColumnFilter(f, index).listed();
        ASSERT_TRUE(list.has_value());
        const std::optional<SlotSet> slots = SlotSet(list->begin(), list->end());
        for (Slot s = 0; s < md.size(); ++s) {
            if (f.matches(md[s] ? &*md[s] : nullptr)) {
                EXPECT_TRUE(slots->contains(s)) << "slot " << s << " metadata " << *md[s];
            } else {
                EXPECT_FALSE(slots->contains(s) && f.kind() != Filter::Kind::And) << "slot " << s;
            }
        }
    }
}

// Graph-mode searches count and list the matches through the index's columns (ranges
// included) without copying sets: the count of a lone clause must be exact, and what is listed
// must be every live match once and, without a rest left to the metadata, nothing else.
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
        const ColumnFilter test(f, index);
        if (f.kind() == Filter::Kind::And && f.members().empty()) {
            EXPECT_TRUE(test.never());  // the empty conjunction answers nothing, like its empty set
            continue;
        }
        if (test.never()) {
            // A value or field nobody holds: no live slot matches.
            for (Slot s = 0; s < md.size(); ++s) EXPECT_FALSE(live(s) && f.matches(md[s] ? &*md[s] : nullptr)) << s;
            continue;
        }
        const std::optional<ColumnFilter::Smallest> smallest = test.smallest();
        if (!smallest) continue;  // an exclusion alone lists nothing
        std::vector<Slot> collected;
        test.collect(smallest->clause, collected);
        const SlotSet set(collected.begin(), collected.end());
        EXPECT_EQ(set.size(), collected.size());
        EXPECT_LE(collected.size(), smallest->size);
        std::size_t matching = 0;
        for (Slot s = 0; s < md.size(); ++s) {
            const bool match = live(s) && f.matches(md[s] ? &*md[s] : nullptr);
            matching += match;
            if (match) {
                EXPECT_TRUE(set.contains(s)) << "slot " << s << " metadata " << *md[s];
            } else if (test.rest() == nullptr || !live(s)) {
                EXPECT_FALSE(set.contains(s)) << "slot " << s;
            }
        }
        if (f.kind() != Filter::Kind::And) {
            EXPECT_EQ(smallest->size, matching);
        }
    }
    EXPECT_FALSE(ColumnFilter(Filter::ne("p", Json(1)), index).smallest().has_value());
}

}  // namespace
}  // namespace qorel

namespace qorel {
namespace {

// Flat texts are read without the JSON parser; whatever the scanner accepts must mean what the
// parser makes of it, member by member, and whatever it cannot vouch for it must refuse.
TEST(FlatText, AcceptedTextsMeanWhatTheParserReads) {
    const std::vector<std::string> accepted = {
        R"({})", R"( { } )", R"({"a":1})", R"({"page":12,"source":"notes.txt"})",
        R"({"n":-0,"f":-0.0,"e":1e5,"E":2.5E-3,"t":true,"u":false,"z":null})",
        R"({ "a" : "x y" , "b" : 123456789012345678 })", "{\"k\":\t-7\n}"};
    for (const std::string& text : accepted) {
        std::vector<FlatMember> members;
        ASSERT_TRUE(scan_flat_object(text, [&](const FlatMember& m) { members.push_back(m); })) << text;
        const Json parsed = Json::parse(text);
        ASSERT_TRUE(parsed.is_object());
        ASSERT_EQ(members.size(), parsed.size()) << text;
        for (const FlatMember& m : members) {
            ASSERT_TRUE(parsed.contains(std::string(m.key))) << text;
            EXPECT_TRUE(json_equal(parsed.at(std::string(m.key)), Json::parse(m.value))) << text << " " << m.key;
        }
    }
    const std::vector<std::string> refused = {
        "", "[]", "1", R"("s")", R"({"a":{"b":1}})", R"({"a":[1]})", R"({"a":"x\"y"})", R"({"a\n":1})",
        "{\"a\":\"\xc3\xa9\"}", R"({"a":1,"a":2})", R"({"a":1234567890123456789})", R"({"a":1e400})",
        R"({"a":01})", R"({"a":1.})", R"({"a":.5})", R"({"a":+1})", R"({"a":1,})", R"({"a":1} x)",
        R"({"a" 1})", R"({"a":tru})", R"({"a":truex})", R"({a:1})", R"({"a":1)"};
    for (const std::string& text : refused) {
        EXPECT_FALSE(scan_flat_object(text, [](const FlatMember&) {})) << text;
    }
}

std::vector<std::optional<Json>> random_flat_rows(std::mt19937& rng, std::size_t n) {
    const std::vector<Json> pool = {Json(0), Json(1), Json(-1), Json(1.0), Json(-0.0), Json(2.5), Json(true),
                                    Json(false), Json("a"), Json("b"), Json(nullptr), Json(1e-3)};
    std::vector<std::optional<Json>> rows;
    for (std::size_t s = 0; s < n; ++s) {
        if (rng() % 13 == 0) {
            rows.emplace_back(std::nullopt);
            continue;
        }
        Json obj = Json::object();
        for (const char* key : {"p", "q", "r"}) {
            if (rng() % 4 != 0) obj[key] = pool[rng() % pool.size()];
        }
        rows.emplace_back(std::move(obj));
    }
    return rows;
}

// Every field, value and column of `a` as `b` has them.
void expect_same_index(const MetadataIndex& a, const MetadataIndex& b, std::size_t slots) {
    ASSERT_EQ(a.field_count(), b.field_count());
    // Which slots hold object metadata decides exclusions: every way of indexing records it.
    EXPECT_EQ(a.object_count(), b.object_count());
    for (Slot s = 0; s < slots; ++s) EXPECT_EQ(a.holds_object(s), b.holds_object(s)) << "slot " << s;
    for (const char* name : {"p", "q", "r"}) {
        const FieldIndex* fa = a.field(name);
        const FieldIndex* fb = b.field(name);
        ASSERT_EQ(fa == nullptr, fb == nullptr) << name;
        if (fa == nullptr) continue;
        EXPECT_EQ(fa->value_count(), fb->value_count()) << name;
        EXPECT_EQ(fa->slot_count(), fb->slot_count()) << name;
        for (Slot s = 0; s < slots; ++s) {
            const ValueId va = fa->value_at(s);
            const ValueId vb = fb->value_at(s);
            ASSERT_EQ(va == kNoValue, vb == kNoValue) << name << " slot " << s;
            if (va == kNoValue) continue;
            EXPECT_TRUE(json_equal(fa->value(va), fb->value(vb))) << name << " slot " << s;
            EXPECT_EQ(held(a, name, fa->value(va)), held(b, name, fb->value(vb)));
            const double na = fa->number_at(s);
            const double nb = fb->number_at(s);
            EXPECT_TRUE(na == nb || (std::isnan(na) && std::isnan(nb))) << name << " slot " << s;
        }
    }
}

// Opening indexes rows from their stored text; it must build the very index that indexing
// their JSON values builds.
TEST(MetadataIndex, IndexFromTextMatchesIndexFromValues) {
    std::mt19937 rng(5);
    const std::vector<std::optional<Json>> rows = random_flat_rows(rng, 400);
    MetadataIndex from_values;
    from_values.rebuild(rows, {});
    MetadataIndex from_text;
    std::vector<std::string> texts;
    for (const auto& row : rows) texts.push_back(row ? row->dump() : std::string());
    MetadataIndex::TextIndexer indexer(from_text);
    for (Slot s = 0; s < rows.size(); ++s) {
        if (rows[s]) indexer.index(s, texts[s]);
    }
    expect_same_index(from_text, from_values, rows.size());
}

// Slots leave their value's slot array by swapping with its last slot: after any sequence of
// moves and removals, each array holds exactly the slots whose column names its value.
TEST(MetadataIndex, SlotArraysFollowMovesAndRemovals) {
    std::mt19937 rng(9);
    std::vector<std::optional<Json>> rows = random_flat_rows(rng, 300);
    MetadataIndex index;
    index.rebuild(rows, {});
    for (int step = 0; step < 3000; ++step) {
        const Slot s = rng() % rows.size();
        const Json* old = rows[s] ? &*rows[s] : nullptr;
        index.remove(s, old);
        std::vector<std::optional<Json>> fresh = random_flat_rows(rng, 1);
        rows[s] = rng() % 5 == 0 ? std::nullopt : std::move(fresh[0]);
        index.index(s, rows[s] ? &*rows[s] : nullptr);
    }
    MetadataIndex rebuilt;
    rebuilt.rebuild(rows, {});
    expect_same_index(index, rebuilt, rows.size());
}

// The column tests, the rest and the collected candidates all agree with the filter itself.
TEST(ColumnFilter, ColumnsDecideWhatTheFilterMatches) {
    std::mt19937 rng(13);
    std::vector<std::optional<Json>> rows = random_flat_rows(rng, 500);
    rows[7] = Json::parse("[1]");
    MetadataIndex index;
    index.rebuild(rows, {3, 4});
    auto live = [](Slot s) { return s != 3 && s != 4; };
    const std::vector<Json> pool = {Json(0), Json(1), Json(1.0), Json(-0.0), Json(true), Json("a"), Json(nullptr)};
    // The empty conjunction answers nothing wherever it stands, as the index's empty set does
    // (matching it against one row would say every object matches).
    EXPECT_TRUE(ColumnFilter(Filter::all_of({}), index).never());
    EXPECT_TRUE(ColumnFilter(Filter::all_of({Filter::eq("p", Json(1)), Filter::all_of({})}), index).never());
    std::vector<Filter> filters = {Filter::eq("missing", Json(1)), Filter::gt("missing", 0.0),
                                   Filter::gt("p", std::numeric_limits<double>::quiet_NaN())};
    for (const Json& v : pool) {
        filters.push_back(Filter::eq("p", v));
        filters.push_back(Filter::ne("q", v));
        filters.push_back(Filter::in("q", {v, Json(1), Json("b")}));
        filters.push_back(Filter::all_of({Filter::eq("p", v), Filter::lt("q", 1.0), Filter::ne("r", Json("a"))}));
        filters.push_back(Filter::all_of({Filter::in("r", {v, Json(true)}), Filter::gte("p", 0.0)}));
    }
    for (double t : {-1.0, 0.0, 1.0, 2.5}) filters.push_back(Filter::lte("r", t));

    // The smallest clause is picked by exact counts, ranges included.
    for (double t : {-1.0, 0.0, 1.0, 2.5}) {
        const ColumnFilter range(Filter::all_of({Filter::eq("p", Json(true)), Filter::lte("q", t)}), index);
        const std::size_t eq_size = index.slots("p", Json(true)).size();
        const std::optional<ColumnFilter::Smallest> pick = range.smallest();
        ASSERT_TRUE(pick.has_value());
        EXPECT_LE(pick->size, eq_size);
        // Chosen, the range's size is its full count.
        if (pick->clause == 1) {
            EXPECT_EQ(pick->size, ColumnFilter(Filter::lte("q", t), index).smallest()->size);
        }
    }

    for (const Filter& f : filters) {
        const ColumnFilter test(f, index);
        std::vector<Slot> matching;
        for (Slot s = 0; s < rows.size(); ++s) {
            const bool match = live(s) && f.matches(rows[s] ? &*rows[s] : nullptr);
            const bool admitted = live(s) && !test.never() && test.admits(s) &&
                                  (test.rest() == nullptr || test.rest()->matches(rows[s] ? &*rows[s] : nullptr));
            EXPECT_EQ(admitted, match) << "slot " << s;
            if (match) matching.push_back(s);
        }
        if (test.never()) {
            EXPECT_TRUE(matching.empty());
            continue;
        }
        if (test.rest() == nullptr) {
            EXPECT_EQ(test.admits_all(rows.size() - 3), matching.size() == rows.size() - 3);
        }
        const std::optional<ColumnFilter::Smallest> smallest = test.smallest();
        if (!smallest) continue;  // only the metadata can decide (Ne alone)
        std::vector<Slot> collected;
        test.collect(smallest->clause, collected);
        EXPECT_TRUE(std::is_sorted(collected.begin(), collected.end()));
        std::vector<Slot> filtered;
        for (Slot s : collected) {
            if (test.rest() == nullptr || test.rest()->matches(rows[s] ? &*rows[s] : nullptr)) filtered.push_back(s);
        }
        EXPECT_EQ(filtered, matching);
        if (test.rest() == nullptr && test.clause_count() == 1) {
            EXPECT_EQ(smallest->size, matching.size());
        }
    }
}

// A filter every live slot passes needs no test in a walk; one slot short of that, it does.
TEST(ColumnFilter, AdmitsAllOnlyWhenEveryLiveSlotMatches) {
    std::vector<std::optional<Json>> rows;
    for (int i = 0; i < 50; ++i) rows.emplace_back(Json{{"k", 1}, {"x", 0.5 + i}, {"s", i % 2 ? "a" : "b"}});
    MetadataIndex index;
    index.rebuild(rows, {});
    const Filter everything = Filter::all_of({Filter::eq("k", Json(1)), Filter::gte("x", 0.5), Filter::in("s", {Json("a"), Json("b")})});
    EXPECT_TRUE(ColumnFilter(everything, index).admits_all(50));
    EXPECT_FALSE(ColumnFilter(Filter::gt("x", 0.5), index).admits_all(50));
    EXPECT_FALSE(ColumnFilter(Filter::eq("s", Json("a")), index).admits_all(50));
    // A row without the number, or with a string there, leaves the range short of every slot.
    rows.emplace_back(Json{{"k", 1}, {"x", "text"}, {"s", "a"}});
    index.rebuild(rows, {});
    EXPECT_TRUE(ColumnFilter(Filter::eq("k", Json(1)), index).admits_all(51));
    EXPECT_FALSE(ColumnFilter(Filter::gte("x", 0.0), index).admits_all(51));
}

// A range listed from the number-sorted slots must admit exactly the slots the per-slot test
// admits, after every kind of change (new numbers, a slot moved to another number or to a
// string, removals), and must come out in number order.
TEST(FieldIndex, RangesFollowChangesToTheNumbers) {
    std::mt19937 rng(11);
    const std::vector<Json> pool = {Json(1), Json(1.0), Json(-0.0), Json(0.0), Json(-2.5), Json(3), Json("3"), Json(true)};
    const std::vector<double> thresholds = {-3.0, -2.5, 0.0, 1.0, 2.0, 3.0, 9.0};
    using Side = FieldIndex::Side;
    std::vector<std::optional<Json>> held(40);
    MetadataIndex index;
    // Look-ups every few changes (merged into the old order), then one after many (resorted).
    for (int round = 0; round < 400; ++round) {
        const Slot s = static_cast<Slot>(rng() % held.size());
        if (held[s] && rng() % 3 == 0) {
            index.remove(s, &*held[s]);
            held[s].reset();
        } else {
            held[s] = Json{{"n", pool[rng() % pool.size()]}};
            index.index(s, &*held[s]);
        }
        if (round < 200 ? round % 7 != 0 : round != 399) continue;
        const FieldIndex* field = index.field("n");
        if (field == nullptr) continue;
        std::size_t numbered = 0;
        for (Slot x = 0; x < held.size(); ++x) numbered += !std::isnan(field->number_at(x));
        EXPECT_EQ(field->numbered_count(), numbered);
        for (const double t : thresholds) {
            for (const Side side : {Side::Above, Side::AtOrAbove, Side::Below, Side::AtOrBelow}) {
                const std::span<const Slot> run = field->number_slots(side, t);
                for (std::size_t i = 1; i < run.size(); ++i)
                    EXPECT_LE(field->number_at(run[i - 1]), field->number_at(run[i]));
                std::vector<Slot> listed(run.begin(), run.end());
                std::sort(listed.begin(), listed.end());
                std::vector<Slot> expected;
                for (Slot x = 0; x < held.size(); ++x) {
                    const double v = field->number_at(x);
                    const bool in = side == Side::Above       ? v > t
                                    : side == Side::AtOrAbove ? v >= t
                                    : side == Side::Below     ? v < t
                                                              : v <= t;
                    if (in) expected.push_back(x);
                }
                EXPECT_EQ(listed, expected) << "round " << round << " threshold " << t;
            }
        }
        EXPECT_TRUE(field->number_slots(Side::Above, std::numeric_limits<double>::quiet_NaN()).empty());
    }
}

// An exclusion is decided from the columns and the index's record of which slots hold object
// metadata; that record must follow every change (an object replaced by null, an array or the
// empty object, removals, a rebuild, indexing from stored text), or a stale bit would admit a
// row without metadata or drop a row with it.
TEST(ColumnFilter, ExclusionsFollowChangesToWhichRowsHoldObjects) {
    std::mt19937 rng(21);
    std::vector<std::optional<Json>> rows = random_flat_rows(rng, 300);
    std::vector<bool> live(rows.size(), true);
    MetadataIndex index;
    {
        // Half the rows from stored text, as an open indexes them: the texts outlive the indexer,
        // and the index takes no other change while the indexer is in use.
        std::vector<std::string> texts(rows.size());
        MetadataIndex::TextIndexer from_text(index);
        for (Slot s = 0; s < rows.size(); s += 2)
            if (rows[s]) from_text.index(s, texts[s] = rows[s]->dump());
    }
    for (Slot s = 1; s < rows.size(); s += 2)
        if (rows[s]) index.index(s, &*rows[s]);
    const std::vector<Json> others = {Json(nullptr), Json::parse("[1]"), Json::object(), Json{{"q", 1}}, Json{{"p", "a"}}};
    auto check = [&](const char* stage) {
        std::size_t objects = 0;
        for (Slot s = 0; s < rows.size(); ++s) objects += live[s] && rows[s] && rows[s]->is_object();
        EXPECT_EQ(index.object_count(), objects) << stage;
        for (const Json& v : {Json(1), Json("a"), Json(true), Json("never held")}) {
            for (const Filter& f : {Filter::ne("q", v), Filter::ne("absent", v), Filter::all_of({Filter::ne("p", v), Filter::ne("q", Json(1))})}) {
                const ColumnFilter test(f, index);
                std::size_t matching = 0;
                for (Slot s = 0; s < rows.size(); ++s) {
                    const bool match = live[s] && f.matches(rows[s] ? &*rows[s] : nullptr);
                    EXPECT_EQ(live[s] && test.admits(s), match) << stage << ", slot " << s;
                    matching += match;
                }
                if (const auto n = test.ne_count(objects)) {
                    EXPECT_EQ(*n, matching) << stage;
                }
                std::vector<Slot> listed;
                test.collect_all(rows.size(), listed);
                EXPECT_EQ(listed.size(), matching) << stage;
            }
        }
    };
    check("indexed");
    for (Slot s = 0; s < rows.size(); s += 3) {
        std::optional<Json> next = others[rng() % others.size()];
        if (rng() % 4 == 0) next.reset();
        index.remove(s, rows[s] ? &*rows[s] : nullptr);
        index.index(s, next ? &*next : nullptr);
        rows[s] = std::move(next);
    }
    check("changed");
    for (Slot s = 1; s < rows.size(); s += 7) {
        index.remove(s, rows[s] ? &*rows[s] : nullptr);
        live[s] = false;
    }
    check("removed");
    std::unordered_set<Slot> deleted;
    for (Slot s = 0; s < rows.size(); ++s)
        if (!live[s]) deleted.insert(s);
    index.rebuild(rows, deleted);
    check("rebuilt");

    // Every live row an object without the member: the exclusion admits all of them.
    std::vector<std::optional<Json>> plain(20, Json{{"p", 1}});
    MetadataIndex all_objects;
    all_objects.rebuild(plain, {});
    EXPECT_TRUE(ColumnFilter(Filter::ne("p", Json(2)), all_objects).admits_all(20));
    EXPECT_FALSE(ColumnFilter(Filter::ne("p", Json(1)), all_objects).admits_all(20));
    plain.emplace_back(std::nullopt);
    all_objects.rebuild(plain, {});
    EXPECT_FALSE(ColumnFilter(Filter::ne("p", Json(2)), all_objects).admits_all(21));
}

// A kept plan names slots: any change to the index must drop it, or a search would score rows
// that no longer match (or miss new ones).
TEST(MetadataIndex, EveryChangeDropsKeptPlans) {
    const Json row{{"p", 1}};
    PlanCache cache;
    auto keep = [&](const MetadataIndex& index) {
        auto plan = std::make_shared<DecidedPlan>();
        plan->slots = {0, 1};
        cache.keep(index.generation(), "k", plan);
        ASSERT_NE(cache.find(index.generation(), "k"), nullptr);
    };
    MetadataIndex index;
    keep(index);
    index.index(2, nullptr);  // a row without metadata: exclusions now leave it out
    EXPECT_EQ(cache.find(index.generation(), "k"), nullptr);
    keep(index);
    index.index(3, &row);
    EXPECT_EQ(cache.find(index.generation(), "k"), nullptr);
    keep(index);
    index.remove(3, &row);
    EXPECT_EQ(cache.find(index.generation(), "k"), nullptr);
    keep(index);
    index.rebuild({row, row}, {});
    EXPECT_EQ(cache.find(index.generation(), "k"), nullptr);
    keep(index);
    {
        MetadataIndex::TextIndexer from_text(index);
        from_text.index(4, R"({"p":2})");
    }
    EXPECT_EQ(cache.find(index.generation(), "k"), nullptr);
    // Nor does another index take over the plans of the one it replaces.
    keep(index);
    EXPECT_EQ(cache.find(MetadataIndex().generation(), "k"), nullptr);
}

// Filters that select different slots never share a key.
TEST(Filter, KeysTellApartWhatMatchesApart) {
    const std::vector<Filter> filters = {
        Filter::eq("p", Json(1)), Filter::eq("p", Json(1.0)), Filter::eq("p", Json(true)), Filter::eq("p", Json("1")),
        Filter::ne("p", Json(1)), Filter::in("p", {Json(1)}), Filter::in("p", {Json(1), Json(2)}),
        Filter::eq("p1", Json(1)), Filter::eq("p", Json(11)), Filter::gt("p", 1.0), Filter::gte("p", 1.0),
        Filter::gt("p", 1.0000000000000002), Filter::gt("p", -0.0), Filter::gt("p", 0.0),
        Filter::all_of({Filter::eq("p", Json(1)), Filter::eq("q", Json(2))}),
        Filter::all_of({Filter::eq("p", Json(1))}), Filter::all_of({}),
        Filter::eq("p:1", Json("x")), Filter::eq("p", Json("1:x"))};
    std::set<std::string> keys;
    for (const Filter& f : filters) {
        EXPECT_TRUE(keys.insert(f.key()).second) << f.key();
    }
    EXPECT_EQ(Filter::in("p", {Json(1), Json(2)}).key(), Filter::in("p", {Json(1), Json(2)}).key());
}

}  // namespace
}  // namespace qorel

namespace qorel {
namespace {

// Rows whose field "t" holds a list (elements of every kind, repeats, nested values), a scalar
// or nothing, beside scalar fields "p" and "q".
std::optional<Json> list_row(std::mt19937& rng, const std::vector<Json>& pool) {
    if (rng() % 10 == 0) return std::nullopt;
    if (rng() % 20 == 0) return Json::parse("[1]");
    Json obj = Json::object();
    if (rng() % 4 != 0) obj["p"] = pool[rng() % pool.size()];
    if (rng() % 4 != 0) obj["q"] = pool[rng() % pool.size()];
    const unsigned t = rng() % 6;
    if (t == 0) {
        obj["t"] = pool[rng() % pool.size()];
    } else if (t > 1) {
        Json list = Json::array();
        for (unsigned i = rng() % 4; i > 0; --i) list.push_back(pool[rng() % pool.size()]);
        if (rng() % 8 == 0) list.push_back(Json::parse(R"(["a",{"b":1}])"));
        obj["t"] = std::move(list);
    }
    return obj;
}

// Containment, membership in lists, disjunctions and negations: the columns (with the rest)
// admit exactly what the metadata matches, after rows change under the index, and a listing
// holds every match once, in slot order.
TEST(ColumnFilter, ListsDisjunctionsAndNegationsAgreeWithTheMetadata) {
    std::mt19937 rng(17);
    const std::vector<Json> pool = {Json(0), Json(1), Json(1.0), Json(true), Json("a"), Json("b"), Json(nullptr)};
    std::vector<std::optional<Json>> rows;
    for (int s = 0; s < 400; ++s) rows.push_back(list_row(rng, pool));
    MetadataIndex index;
    index.rebuild(rows, {3, 4});
    auto live = [](Slot s) { return s != 3 && s != 4; };
    // Moves within and between element arrays, and lists replaced by scalars and back.
    for (int step = 0; step < 2000; ++step) {
        const Slot s = 5 + rng() % (rows.size() - 5);
        index.remove(s, rows[s] ? &*rows[s] : nullptr);
        rows[s] = list_row(rng, pool);
        index.index(s, rows[s] ? &*rows[s] : nullptr);
    }

    std::vector<Filter> filters = {Filter::any_of({}), Filter::negate(Filter::all_of({})),
                                   Filter::negate(Filter::any_of({Filter::all_of({}), Filter::contains("missing", Json(1))}))};
    for (const Json& v : pool) {
        filters.push_back(Filter::contains("t", v));
        filters.push_back(Filter::negate(Filter::contains("t", v)));
        filters.push_back(Filter::in("t", {v, Json("b")}));
        filters.push_back(Filter::none_of("t", {v, Json(1)}));
        filters.push_back(Filter::eq("t", v));
        filters.push_back(Filter::any_of({Filter::eq("p", v), Filter::contains("t", v)}));
        filters.push_back(Filter::any_of({Filter::contains("t", v), Filter::all_of({Filter::gt("p", 0.0), Filter::ne("q", v)})}));
        filters.push_back(Filter::negate(Filter::any_of({Filter::eq("p", v), Filter::lt("q", 0.5)})));
        filters.push_back(Filter::all_of({Filter::negate(Filter::in("p", {v})), Filter::contains("t", Json("a"))}));
        filters.push_back(Filter::all_of({Filter::any_of({Filter::ne("p", v), Filter::contains("t", v)}), Filter::in("q", {Json(0), Json(1)})}));
        filters.push_back(Filter::any_of({Filter::all_of({}), Filter::in("p", {v, Json(0)})}));
    }

    for (const Filter& f : filters) {
        const ColumnFilter test(f, index);
        std::vector<Slot> matching;
        for (Slot s = 0; s < rows.size(); ++s) {
            const Json* md = rows[s] ? &*rows[s] : nullptr;
            const bool match = live(s) && f.matches(md);
            const bool admitted = live(s) && !test.never() && test.admits(s) && (test.rest() == nullptr || test.rest()->matches(md));
            EXPECT_EQ(admitted, match) << f.key() << " slot " << s;
            if (match) matching.push_back(s);
        }
        if (test.never()) continue;
        const std::optional<ColumnFilter::Smallest> smallest = test.smallest();
        if (!smallest) continue;
        std::vector<Slot> collected;
        test.collect(smallest->clause, collected);
        std::vector<Slot> kept;
        for (Slot s : collected) {
            if (test.rest() == nullptr || test.rest()->matches(rows[s] ? &*rows[s] : nullptr)) kept.push_back(s);
        }
        EXPECT_EQ(kept, matching) << f.key();
        EXPECT_GE(smallest->size, collected.size()) << f.key();
        if (smallest->exact && test.clause_count() == 1 && test.rest() == nullptr) {
            EXPECT_EQ(smallest->size, matching.size()) << f.key();
        }
    }
}

}  // namespace
}  // namespace qorel
