// A comparison program for bench/peers.sh, built against Debian's
// libmstch-dev by that script only: renders the table of bench_pages' page
// (ROWS orders with four fields) from an in-memory list with mstch, over
// and over for SECONDS, and prints pages/s; with SECONDS 0 it prints the
// page once instead. Values go in unescaped ({{{name}}}), as Korvi's loop
// producer writes field values; the page has the loop producer's lines
// without the empty ones between them.
//   peer_mstch ROWS SECONDS
#include <mstch/mstch.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char* const kTemplate =
    "<html><head><title>Orders</title></head><body>\r\n"
    "<table><tr><th>Id</th><th>Customer</th><th>Item</th><th>Amount</th></tr>\r\n"
    "{{#Orders}}\r\n"
    "<tr><td>{{{Id}}}</td><td>{{{Customer}}}</td><td>{{{Item}}}</td><td>{{{Amount}}}</td></tr>\r\n"
    "{{/Orders}}\r\n"
    "</table></body></html>\r\n";

// The rows bench_pages puts in its table.
mstch::map Orders(int rows) {
  mstch::array orders;
  for (int i = 1; i <= rows; ++i) {
    orders.push_back(mstch::map{{"Id", i},
                                {"Customer", "Customer " + std::to_string(i % 97)},
                                {"Item", "Item number " + std::to_string(i)},
                                {"Amount", i * 1.25}});
  }
  return mstch::map{{"Orders", orders}};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: peer_mstch ROWS SECONDS\n");
    return 2;
  }
  const mstch::map context = Orders(std::atoi(argv[1]));
  const std::string page_template = kTemplate;
  const int seconds = std::atoi(argv[2]);
  if (seconds <= 0) {
    const std::string page = mstch::render(page_template, context);
    std::fwrite(page.data(), 1, page.size(), stdout);
    return 0;
  }
  using Clock = std::chrono::steady_clock;
  std::size_t page_bytes = mstch::render(page_template, context).size();  // warm-up
  long long pages = 0;
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + std::chrono::seconds(seconds);
  Clock::time_point now = start;
  while (now < end) {
    page_bytes = mstch::render(page_template, context).size();
    ++pages;
    now = Clock::now();
  }
  const double elapsed = std::chrono::duration<double>(now - start).count();
  std::printf("mstch: %lld pages in %.1f s, %.1f pages/s, %zu bytes/page\n", pages, elapsed,
              pages / elapsed, page_bytes);
  return 0;
}
