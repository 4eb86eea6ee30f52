// What the simulator does, as JSON events: read off the PDUs it receives and
// writes (binds, unbinds, MO sent, each submit's response) and from the
// core's hooks (submits received, messages final). `simulate --json` prints
// them on stdout; `simulate --http` keeps the recent ones for the console.
// Loop thread only.
#pragma once

#include <nlohmann/json.hpp>

#include <deque>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <string_view>

#include "tools/smsc/Server.h"

namespace velmor::cli {

class Events {
 public:
  // out: where JSON lines go (null: nowhere). activity: told each event,
  // and each submit again once answered (with command_status and status).
  Events(smsc::Server& server, std::ostream* out, std::function<void(const nlohmann::json&)> activity);

  void Line(const nlohmann::json& j);
  // The trace hook's arguments.
  void Pdu(std::string_view session, bool received, std::string_view pdu);
  void Submit(const smsc::Session& s, const smsc::MessageView& m);
  void Final(const smsc::StoredMessage& m);

 private:
  void Emit(const nlohmann::json& j);
  smsc::Server& server_;
  std::ostream* out_;
  std::function<void(const nlohmann::json&)> activity_;
  // submits waiting for their response, by session name and sequence_number
  std::map<std::pair<std::string, Cardinal>, nlohmann::json> pending_;
};

}  // namespace velmor::cli
