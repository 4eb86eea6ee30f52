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
    if (e && *e) EXPECT_EQ(*e->target<Counted>()->copies, 0);
  }
}

}  // namespace
}  // namespace velmor::test
