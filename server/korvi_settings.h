/// \file
/// TKorviSettings: the server's live settings as one immutable snapshot.
///
/// The main thread changes settings while worker threads serve requests. A
/// worker takes the current snapshot when its request starts and reads every
/// setting through it, so a change never reaches a request under way half
/// done and never frees a value a worker still reads: a change publishes a
/// new snapshot, and the old one lives as long as a request holds it.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "korvi/host/string_list.h"

namespace korvi {

class TObject;
class TKorviThread;
class TKorviRequest;
class TKorviResponse;

/// A request line has been read: the thread count, the client's address and
/// the decoded URL path.
using ZWSOnRxEvent = std::function<void(int ReqNum, const std::string& RemoteAddress,
                                        const std::string& URLSubmitted)>;
/// A request is complete: the thread count and the bytes received for it.
using ZWSOnRxDoneEvent = std::function<void(int ReqNum, std::int64_t bytesRecieved)>;
/// A response is about to go out: the thread count and the bytes to send
/// (status line, headers and content).
using ZWSOnTxEvent = std::function<void(int ReqNum, std::int64_t bytesToSend)>;
/// A response has ended, once per response: the thread count and the bytes of
/// it the system took, counted like bytesToSend. Fewer than announced when the
/// client went away or stalled for the whole Timeout.
using ZWSOnTxDoneEvent = std::function<void(int ReqNum, std::int64_t bytesSent)>;
/// Raised before and after the action dispatch of every request.
using TKorviProcessEvent = std::function<void(TObject* Sender, TKorviRequest* Request,
                                              TKorviResponse* Response, TKorviThread* Thread)>;
/// An action (or the response it built) raised `Error` while answering
/// `Request`; the client gets status 500 with "EXCEPTION: " and the message.
using TKorviExceptionEvent =
    std::function<void(TObject* Sender, TKorviRequest* Request, const std::exception& Error)>;
/// Asks the application for the content type of a file extension (without
/// the dot); a non-empty MimeType it leaves is used.
using TGetMimeType =
    std::function<void(TObject* Sender, const std::string& MimeExt, std::string& MimeType)>;
/// A file answer's header block is about to be written for the file `Path`:
/// every name=value line the handler adds to `Headers` goes out as a header
/// line "name: value" after the server's own (line breaks become blanks).
/// Raised on the connection's worker thread (Sender is the server), for GET
/// and HEAD alike.
using TFileHeadersEvent =
    std::function<void(TObject* Sender, const std::string& Path, TStringList& Headers)>;

/// Default limit for a request body: 100 MiB.
constexpr std::int64_t DefaultMaxRequestBody = 100 * 1024 * 1024;
/// Default for the longest request body kept in memory: 1 MiB.
constexpr std::int64_t DefaultMaxBodyInMemory = 1024 * 1024;

/// What a request reads of the server's configuration. The server's
/// properties of the same names describe each value.
struct TKorviSettings {
  ///@{
  /// As the TKorvi property of the same name.
  std::string DefaultFile;
  std::string ServerRoot;
  std::shared_ptr<const TStringList> URLMap = std::make_shared<const TStringList>();
  bool DirectoryListing = true;
  std::string DirectoryMask = "*.*";
  int ServerPort = 80;
  int Timeout = 100;
  std::int64_t MaxRequestBody = DefaultMaxRequestBody;
  std::int64_t MaxBodyInMemory = DefaultMaxBodyInMemory;
  std::string BodySpoolDirectory;
  std::optional<std::string> ProductLine;
  bool FollowLinks = true;
  TFileHeadersEvent OnFileHeaders;
  bool HTTP11 = false;
  int KeepAliveTimeout = 5;
  int MaxKeepAliveRequests = 1000;
  bool SteerKeptConnections = false;
  ZWSOnRxEvent OnRequest;
  ZWSOnRxDoneEvent OnRequestDone;
  ZWSOnTxEvent OnResponse;
  ZWSOnTxDoneEvent OnResponseDone;
  TKorviProcessEvent OnBeforeProcess;
  TKorviProcessEvent OnAfterProcess;
  TGetMimeType OnGetMimeType;
  TKorviExceptionEvent OnException;
  ///@}
};

/// The current snapshot: one thread (the main thread) changes it, any thread
/// takes it.
class TKorviSettingsCell {
 public:
  /// The current snapshot; safe from any thread.
  std::shared_ptr<const TKorviSettings> Take() const {
    std::lock_guard<std::mutex> lock(lock_);
    return current_;
  }
  /// The current values, read on the thread that changes them.
  const TKorviSettings& Values() const { return *current_; }
  /// Publishes a copy of the current values with `edit` applied.
  template <typename Edit>
  void Change(Edit&& edit) {
    auto next = std::make_shared<TKorviSettings>(*current_);
    std::forward<Edit>(edit)(*next);
    std::lock_guard<std::mutex> lock(lock_);
    current_ = std::move(next);
  }

 private:
  mutable std::mutex lock_;  ///< guards the pointer; the values never change
  std::shared_ptr<const TKorviSettings> current_ = std::make_shared<const TKorviSettings>();
};

/// One live setting as a field of the server: reading it gives the current
/// value, assigning it (on the main thread) publishes a new snapshot.
template <typename T>
class TLiveSetting {
 public:
  /// The setting `field` of the snapshots in `cell`.
  TLiveSetting(TKorviSettingsCell& cell, T TKorviSettings::*field) : cell_(cell), field_(field) {}
  TLiveSetting(const TLiveSetting&) = delete;
  /// Assigns the other setting's value.
  TLiveSetting& operator=(const TLiveSetting& other) { return *this = other.Get(); }
  /// Publishes a snapshot in which the setting is `value`.
  TLiveSetting& operator=(T value) {
    cell_.Change([&](TKorviSettings& settings) { settings.*field_ = std::move(value); });
    return *this;
  }

  /// The current value.
  const T& Get() const { return cell_.Values().*field_; }
  /// Reads as the current value.
  operator const T&() const { return Get(); }  // NOLINT: reads as the value
  /// Compares the current value with `value`.
  friend bool operator==(const TLiveSetting& setting, const T& value) {
    return setting.Get() == value;
  }

 private:
  TKorviSettingsCell& cell_;
  T TKorviSettings::*field_;
};

}  // namespace korvi
