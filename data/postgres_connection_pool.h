// TPostgresConnectionPool: the process's idle PostgreSQL connections, kept
// when a query lets go of one so that the next query on the same database
// skips the server's start of a new session (a process per connection).
// A connection is in use by one query at a time; in the pool it belongs to
// nobody. What a query left in its session is discarded before reuse.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

struct pg_conn;

namespace korvi {

class TPostgresConnectionPool {
 public:
  // How many idle connections the process keeps at most.
  static constexpr std::size_t kMaxIdle = 16;

  // The process's pool.
  static TPostgresConnectionPool& Instance();
  // Closes every idle connection.
  ~TPostgresConnectionPool();

  // An idle connection to the database `name`, now the caller's, or nullptr.
  pg_conn* Take(const std::string& name);
  // Keeps `conn` (a connection to `name`, outside any transaction) for a
  // later Take, or closes it when the pool is full.
  void Give(const std::string& name, pg_conn* conn);

 private:
  TPostgresConnectionPool() = default;

  std::mutex lock_;
  std::multimap<std::string, pg_conn*> idle_;
};

}  // namespace korvi
