// TPostgresConnectionPool: idle connections by database name, under a lock.
#include "korvi/data/postgres_connection_pool.h"

#include <libpq-fe.h>

namespace korvi {

TPostgresConnectionPool& TPostgresConnectionPool::Instance() {
  static TPostgresConnectionPool pool;
  return pool;
}

TPostgresConnectionPool::~TPostgresConnectionPool() {
  for (auto& [name, conn] : idle_)
    PQfinish(conn);
}

pg_conn* TPostgresConnectionPool::Take(const std::string& name) {
  std::lock_guard<std::mutex> lock(lock_);
  const auto found = idle_.find(name);
  if (found == idle_.end()) return nullptr;
  pg_conn* conn = found->second;
  idle_.erase(found);
  return conn;
}

void TPostgresConnectionPool::Give(const std::string& name, pg_conn* conn) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (idle_.size() < kMaxIdle) {
      idle_.emplace(name, conn);
      return;
    }
  }
  PQfinish(conn);
}

}  // namespace korvi
