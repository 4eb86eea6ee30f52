// The component's TBindType in the terms of the command table: the state a
// bind of that type leads to, and back. Pure; no I/O.
#pragma once

#include "codec/Commands.h"
#include "component/Velmorsmppdemo.h"

namespace velmor {

constexpr codec::bind_state BoundState(TBindType Bind_Type) {
  switch (Bind_Type) {
    case Transmitter: return codec::bind_state::bound_tx;
    case Receiver: return codec::bind_state::bound_rx;
    case Transceiver:
    default: return codec::bind_state::bound_trx;
  }
}

// Transceiver for bind_state::open (no bind type leads there).
constexpr TBindType BindTypeOf(codec::bind_state state) {
  switch (state) {
    case codec::bind_state::bound_tx: return Transmitter;
    case codec::bind_state::bound_rx: return Receiver;
    default: return Transceiver;
  }
}

// bind_transmitter, bind_receiver or bind_transceiver.
constexpr Cardinal BindCommand(TBindType Bind_Type) { return codec::bind_command(BoundState(Bind_Type)); }

}  // namespace velmor
