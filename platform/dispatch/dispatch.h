// Serial work queues and the main queue, on GLib main contexts.
//
// Contract:
// - A Queue runs the tasks given to async() one at a time, in the order they
//   were submitted, on one thread. Tasks given to after() run on the same
//   thread once their delay has passed (never earlier).
// - The main queue is GLib's default main context. Its tasks run only while
//   the process runs that context: runMain() in programs, runMainUntil() in
//   tests. Exactly one thread may run it.
// - A serial queue owns a thread that runs its own GMainContext. Destroying
//   the queue stops the thread after the task that is running, if any; tasks
//   and timers still waiting are dropped without running. A queue may be
//   destroyed from one of its own tasks.
// - All members are callable from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

typedef struct _GMainContext GMainContext;

namespace dispatch {

using Task = std::function<void()>;

class Queue {
 public:
  virtual ~Queue();
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  void async(Task task);
  // Runs task once `seconds` have passed (dispatch_after).
  void after(double seconds, Task task);
  // Runs task on the queue and waits for it; runs it inline when called on
  // the queue itself.
  void sync(const Task& task);

  const std::string& label() const { return label_; }
  // True when the calling thread is running this queue's tasks.
  bool isCurrent() const;
  // The context whose thread runs the tasks, for attaching event sources
  // (file descriptors) that must be served on this queue.
  GMainContext* context() const { return context_; }

 protected:
  Queue(std::string label, GMainContext* context);
  void attach();

 protected:
  // Marks the queue as ending: no further task or timer of it starts.
  void markStopped();

 private:
  struct State;
  struct Source;
  struct TimerTask;

  std::string label_;
  GMainContext* context_;
  Source* source_ = nullptr;
  // Shared with the queue's event source and timers, which may outlive the
  // queue for the rest of a dispatch when it is destroyed from its own task.
  std::shared_ptr<State> state_;
};

// The main queue (GLib's default main context).
Queue& mainQueue();

// A new serial queue with its own thread.
std::shared_ptr<Queue> makeSerialQueue(std::string label);

// Runs the main queue until quitMain() is called.
void runMain();
void quitMain();

// Runs the main queue until done() returns true or the timeout passes;
// returns done()'s last answer. For tests and short-lived tools.
bool runMainUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

}  // namespace dispatch
