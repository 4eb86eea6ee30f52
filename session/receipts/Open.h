// A receipt store from a text, as the CLI and configuration files give it.
#pragma once

#include <memory>
#include <string_view>

#include "session/ReceiptStore.h"

namespace velmor::session::receipts {

// "memory", "sqlite:PATH" or "redis://HOST:PORT[/DB]". Throws
// std::invalid_argument naming what is wrong with the text, and
// std::runtime_error when the SQLite file cannot be opened. Redis is not
// waited for: until it answers, takes are answered unreachable.
std::shared_ptr<receipt_store> open_receipt_store(std::string_view where, receipt_limits limits = {});

}  // namespace velmor::session::receipts
