// echo_server: a line-mode echo server built on TKSocket.
//
// The main thread owns a listening socket; each connection it accepts is
// handed to a thread of its own, which adopts the handle into a socket
// created on that thread (so the socket's notifications arrive there), sets
// MultiThreaded and then reads line after line with the blocking ReadLine,
// which pumps only that thread's queue. Every line is sent back; "quit"
// ends the connection. SIGINT or SIGTERM stops the server: each connection
// thread is asked to stop through its socket's WindowHandle.
//
//   echo_server [port]        (default 7007; try: nc 127.0.0.1 7007)
#include <atomic>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <korvi/host/application.h>
#include <korvi/socket/ksocket.h>

namespace {

using korvi::ESocketException;
using korvi::HWND;
using korvi::TKSocket;
using korvi::TObject;
using korvi::wsConnected;

// Seconds a connection may stay silent before its partial line is echoed.
constexpr int kLineTimeout = 60;

std::atomic<bool> stopping{false};

// One client, served on a thread of its own.
class Connection {
 public:
  explicit Connection(int handle) : handle_(handle), thread_([this] { Serve(); }) {}
  ~Connection() { thread_.join(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Asks the thread to stop: a quit request ends whatever its socket waits for.
  void Stop() {
    if (const HWND window = window_.load()) korvi::PostMessage(window, korvi::WM_QUIT, 0, 0);
  }
  bool Finished() const { return finished_; }

 private:
  void Serve() {
    try {
      TKSocket socket(nullptr);  // created here, so it belongs to this thread
      socket.Dup(handle_);
      socket.MultiThreaded = true;  // blocking calls pump this thread's own queue
      window_ = socket.WindowHandle();
      socket.SendStr("Korvi echo: type a line, \"quit\" to leave\r\n");
      while (!stopping && socket.State() == wsConnected) {
        std::string line;
        socket.ReadLine(kLineTimeout, line);
        if (stopping || socket.State() != wsConnected || line == "quit") break;
        socket.SendStr(line + "\r\n");
      }
      window_ = 0;
      if (socket.State() == wsConnected) {
        socket.SendStr("bye\r\n");
        socket.Flush();  // sends what is queued before the socket closes
      }
    } catch (const ESocketException& error) {
      std::cerr << "connection: " << error.Message() << "\n";
    }
    finished_ = true;
  }

  int handle_;
  std::atomic<HWND> window_{0};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  korvi::Application().HandleStopSignals();
  TKSocket listener(nullptr);
  std::vector<std::unique_ptr<Connection>> connections;
  // A waiting connection: accept it and give it a thread.
  listener.OnSessionAvailable = [&](TObject*, std::uint16_t) {
    try {
      const int handle = listener.Accept();
      std::erase_if(connections, [](const auto& connection) { return connection->Finished(); });
      connections.push_back(std::make_unique<Connection>(handle));
    } catch (const ESocketException& error) {
      std::cerr << "accept: " << error.Message() << "\n";
    }
  };
  listener.SetAddr("0.0.0.0");
  listener.SetPort(argc > 1 ? argv[1] : "7007");
  try {
    listener.Listen();
  } catch (const ESocketException& error) {
    std::cerr << error.Message() << "\n";
    return 1;
  }
  std::cout << "echo server listening on port " << listener.GetXPort() << std::endl;
  korvi::Application().Run();

  stopping = true;
  for (const auto& connection : connections)
    connection->Stop();
  connections.clear();  // waits for every connection thread
  listener.Close();
  return 0;
}
