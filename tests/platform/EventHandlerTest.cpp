// Event properties: a handler is called without being copied, and may clear,
// replace or destroy its own event while it runs, at any depth of nesting.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/EventHandler.h"

namespace velmor::test {
namespace {

using Event = TEventHandler<void(int)>;

// A handler that counts its copies; its string capture is long enough to
// live on the heap, so a handler freed under itself is caught by ASan.
struct Counted {
  std::shared_ptr<int> copies = std::make_shared<int>(0);
  std::string name = std::string(40, 'h');
  std::vector<std::string>* log;
  std::function<void(int)> act;
  Counted(std::vector<std::string>* l, std::function<void(int)> a) : log(l), act(std::move(a)) {}
  Counted(const Counted& o) : copies(o.copies), name(o.name), log(o.log), act(o.act) { ++*copies; }
  Counted(Counted&&) = default;
  void operator()(int depth) const {
    if (act) act(depth);
    log->push_back(name.substr(0, 1) + std::to_string(depth));  // captures still alive
  }
};

TEST(EventHandler, DispatchNeitherCopiesNorLosesTheHandler) {
  std::vector<std::string> log;
  Event e = Counted(&log, nullptr);
  const auto copies = e.target<Counted>()->copies;
  for (int i = 0; i < 1000; ++i) EXPECT_TRUE(e.Dispatch([&](const auto& fn) { fn(0); }));
  EXPECT_EQ(*copies, 0);
  EXPECT_EQ(log.size(), 1000u);
  EXPECT_TRUE(e);
  Event empty;
  EXPECT_FALSE(empty.Dispatch([&](const auto& fn) { fn(0); }));
}

// What the handler does at which depth (0: the outer call; 1: a Dispatch of
// the same event from inside it), and what the event holds afterwards.
TEST(EventHandler, HandlerMayClearReplaceOrDestroyItsEventWhileItRuns) {
  enum class Act { clear, replace, destroy, replace_then_nest };
  struct Case {
    Act act;
    int at_depth;
    bool nest;                     // the outer call dispatches once more from inside
    std::vector<std::string> log;  // calls, innermost first
    std::string after;             // "", "h" (the handler) or "r" (its replacement)
  };
  const Case cases[] = {
      {Act::clear, 0, false, {"h0"}, ""},
      {Act::replace, 0, false, {"h0"}, "r"},
      {Act::destroy, 0, false, {"h0"}, "gone"},
      {Act::clear, 1, true, {"h1", "h0"}, ""},
      {Act::replace, 1, true, {"h1", "h0"}, "r"},
      {Act::destroy, 1, true, {"h1", "h0"}, "gone"},
      {Act::clear, 0, true, {"h0"}, ""},                     // cleared before the nested call: it finds nothing
      {Act::replace_then_nest, 0, true, {"r1", "h0"}, "r"},  // the nested call reaches the replacement
  };
  for (const Case& c : cases) {
    std::vector<std::string> log;
    auto e = std::make_unique<Event>();
    auto fire = [&](int depth) { return e->Dispatch([&](const auto& fn) { fn(depth); }); };
    *e = Counted(&log, [&](int depth) {
      if (depth == c.at_depth) {
        EXPECT_FALSE(*e) << "on loan while it runs";
        EXPECT_TRUE(e->Assigned());
        if (c.act == Act::clear) *e = nullptr;
        if (c.act == Act::replace || c.act == Act::replace_then_nest) {
          Counted r(&log, nullptr);
          r.name = "r";
          *e = std::move(r);
        }
        if (c.act == Act::destroy) e.reset();
      }
      if (c.nest && depth == 0 && e) fire(1);
    });
    fire(0);
    EXPECT_EQ(log, c.log) << static_cast<int>(c.act) << " at " << c.at_depth;
    const std::string after = !e ? "gone" : !*e ? "" : e->target<Counted>()->name.substr(0, 1);
    EXPECT_EQ(after, c.after) << static_cast<int>(c.act) << " at " << c.at_depth;
    if (e && *e) {
      EXPECT_EQ(*e->target<Counted>()->copies, 0);
    }
  }
}

// An argument type that counts how often it is copied or moved.
struct Tracked {
  static inline int copies = 0, moves = 0;
  int value = 0;
  explicit Tracked(int v) : value(v) {}
  Tracked(const Tracked& o) : value(o.value) { ++copies; }
  Tracked(Tracked&& o) noexcept : value(o.value) { ++moves; }
};
using Wide = TEventHandler<void(int, std::string, Tracked)>;

// Invoke builds every by-value argument once, in the handler's own parameter,
// whatever the handler's parameter types; only a handler assigned as a plain
// std::function pays its one move. A handler that replaces its event and
// invokes it again reaches the replacement, also in place.
TEST(EventHandler, InvokeMakesEachArgumentInTheHandlersParameter) {
  const std::string text(40, 't');  // past the in-place capacity of a string
  int seen = 0;
  auto check = [&](int i, const std::string& s, const Tracked& t) {
    EXPECT_EQ(i, 7);
    EXPECT_EQ(s, text);
    EXPECT_EQ(t.value, 11);
    ++seen;
  };
  static const int v = 11;
  const TArgMaker<Tracked> eleven{[](const void* p) { return Tracked(*static_cast<const int*>(p)); }, &v};
  Wide* self = nullptr;
  struct Case {
    const char* name;
    std::function<void(Wide&)> assign;
    int calls, moves;
  };
  const Case cases[] = {
      {"by value", [&](Wide& e) { e = [&](int i, std::string s, Tracked t) { check(i, s, t); }; }, 1, 0},
      {"by reference", [&](Wide& e) { e = [&](int i, const std::string& s, const Tracked& t) { check(i, s, t); }; }, 1,
       0},
      {"mutable",
       [&](Wide& e) {
         e = [&, n = 0](int i, std::string s, Tracked t) mutable {
           ++n;
           check(i, s, t);
         };
       },
       1, 0},
      {"std::function",
       [&](Wide& e) {
         e = std::function<void(int, std::string, Tracked)>([&](int i, std::string s, Tracked t) { check(i, s, t); });
       },
       1, 1},
      {"replaced and invoked from inside",
       [&](Wide& e) {
         e = [&](int i, std::string s, Tracked t) {
           check(i, s, t);
           *self = [&](int i2, std::string s2, Tracked t2) { check(i2, s2, t2); };
           self->Invoke(7, text, eleven);
         };
       },
       2, 0},
  };
  for (const Case& c : cases) {
    Wide e;
    self = &e;
    c.assign(e);
    seen = Tracked::copies = Tracked::moves = 0;
    EXPECT_TRUE(e.Invoke(7, text, eleven));
    EXPECT_EQ(seen, c.calls) << c.name;
    EXPECT_EQ(Tracked::copies, 0) << c.name;
    EXPECT_EQ(Tracked::moves, c.moves) << c.name;
    EXPECT_TRUE(e) << c.name;
  }
}

}  // namespace
}  // namespace velmor::test
