// Distributed notifications: broadcasts by name between the processes of one
// user session, standing in for NSDistributedNotificationCenter.
//
// Contract:
// - A notification is the session-bus signal Posted(s name, s object) on the
//   object path /com/korvaneapp/DistributedNotifications, interface
//   com.korvaneapp.DistributedNotifications, sent to no destination (a
//   broadcast). Any process may post one, e.g. with `gdbus emit`.
// - post() sends the signal and flushes the connection before returning, so
//   a process may exit right after it (immediate delivery).
// - observe() subscribes to one name from any sender, this process included.
//   Once it returns, every notification of that name posted afterwards by any
//   process calls the handler, on the main queue (dispatch::mainQueue()).
// - Destroying the Observation unsubscribes: no handler call starts after
//   the destructor returns. Destroy it on the main queue, or accept that a
//   call already running there finishes.
// - Without a session bus both calls fail at once with a reason; nothing
//   crashes or waits.
// - Callable from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace notifications {

inline constexpr const char* kObjectPath = "/com/korvaneapp/DistributedNotifications";
inline constexpr const char* kInterface = "com.korvaneapp.DistributedNotifications";
inline constexpr const char* kSignal = "Posted";

using Handler = std::function<void()>;

class Observation {
 public:
  ~Observation();
  Observation(const Observation&) = delete;
  Observation& operator=(const Observation&) = delete;

  struct State;
  explicit Observation(std::shared_ptr<State> state);

 private:
  std::shared_ptr<State> state_;
};

// Posts name with an empty object; false (with a reason in *error) when the
// session bus cannot be reached or the signal cannot be sent.
bool post(const std::string& name, std::string* error = nullptr);

// Calls handler on the main queue for every notification of name; nullptr
// (with a reason in *error) when the session bus cannot be reached.
std::unique_ptr<Observation> observe(const std::string& name, Handler handler, std::string* error = nullptr);

}  // namespace notifications
