#include "session/receipts/Open.h"

#include <stdexcept>
#include <string>

#include "session/receipts/Memory.h"
#include "session/receipts/Redis.h"
#include "session/receipts/Sqlite.h"

namespace velmor::session::receipts {

std::shared_ptr<receipt_store> open_receipt_store(std::string_view where, receipt_limits limits) {
  if (where.empty() || where == "memory") return std::make_shared<memory_receipt_store>(limits);
  if (where.substr(0, 7) == "sqlite:") {
    if (where.size() == 7) throw std::invalid_argument("receipt store: sqlite: needs a file, as in sqlite:receipts.db");
    return std::make_shared<sqlite_receipt_store>(std::string(where.substr(7)), limits);
  }
  if (where.substr(0, 8) == "redis://") return std::make_shared<redis_receipt_store>(parse_redis_url(where), limits);
  throw std::invalid_argument("receipt store: \"" + std::string(where) +
                              "\" is none of memory, sqlite:PATH, redis://HOST:PORT/DB");
}

}  // namespace velmor::session::receipts
