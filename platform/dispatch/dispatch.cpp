#include "dispatch.h"

#include <glib.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace dispatch {

struct Queue::State {
  std::mutex mutex;
  std::deque<Task> tasks;
  std::atomic<bool> stopped{false};

  bool hasTasks() {
    std::lock_guard lock(mutex);
    return !tasks.empty();
  }
  void drain() {
    std::deque<Task> batch;
    {
      std::lock_guard lock(mutex);
      batch.swap(tasks);
    }
    for (auto& task : batch) {
      if (stopped) return;
      task();
    }
  }
};

// A GSource that is ready while the queue has tasks; dispatching runs them
// in submission order.
struct Queue::Source {
  GSource base;
  std::shared_ptr<State>* state;

  static State& of(GSource* s) { return **reinterpret_cast<Source*>(s)->state; }
  static gboolean prepare(GSource* s, gint* timeout) {
    *timeout = -1;
    return of(s).hasTasks();
  }
  static gboolean check(GSource* s) { return of(s).hasTasks(); }
  static gboolean dispatch(GSource* s, GSourceFunc, gpointer) {
    of(s).drain();
    return G_SOURCE_CONTINUE;
  }
  static void finalize(GSource* s) { delete reinterpret_cast<Source*>(s)->state; }
  static GSourceFuncs funcs;
};

GSourceFuncs Queue::Source::funcs = {Queue::Source::prepare, Queue::Source::check, Queue::Source::dispatch,
                                     Queue::Source::finalize, nullptr, nullptr};

Queue::Queue(std::string label, GMainContext* context)
    : label_(std::move(label)), context_(context), state_(std::make_shared<State>()) {
  g_main_context_ref(context_);
}

void Queue::attach() {
  GSource* s = g_source_new(&Source::funcs, sizeof(Source));
  source_ = reinterpret_cast<Source*>(s);
  source_->state = new std::shared_ptr<State>(state_);
  g_source_set_priority(s, G_PRIORITY_DEFAULT);
  g_source_attach(s, context_);
}

Queue::~Queue() {
  markStopped();
  if (source_ != nullptr) {
    g_source_destroy(&source_->base);
    g_source_unref(&source_->base);
  }
  g_main_context_unref(context_);
}

void Queue::markStopped() { state_->stopped = true; }

void Queue::async(Task task) {
  bool wasEmpty;
  {
    std::lock_guard lock(state_->mutex);
    wasEmpty = state_->tasks.empty();
    state_->tasks.push_back(std::move(task));
  }
  // Only the first task of a batch needs to wake the loop: later ones are
  // taken by the same drain, which swaps the whole batch out under the lock
  // (a task added after that swap finds the queue empty and wakes it
  // again). A wake-up per task cost a system call and a thread switch each.
  if (wasEmpty) g_main_context_wakeup(context_);
}

struct Queue::TimerTask {
  std::shared_ptr<State> state;  // a timer never runs once its queue is ending
  Task task;

  static gboolean run(gpointer data) {
    auto* timer = static_cast<TimerTask*>(data);
    if (!timer->state->stopped) timer->task();
    return G_SOURCE_REMOVE;
  }
  static void destroy(gpointer data) { delete static_cast<TimerTask*>(data); }
};

void Queue::after(double seconds, Task task) {
  // Round up to whole milliseconds: a timer may fire late, never early.
  auto ms = static_cast<guint>(std::ceil(std::max(0.0, seconds) * 1000.0));
  GSource* s = g_timeout_source_new(ms);
  g_source_set_callback(s, TimerTask::run, new TimerTask{state_, std::move(task)}, TimerTask::destroy);
  g_source_attach(s, context_);
  g_source_unref(s);
}

bool Queue::isCurrent() const { return g_main_context_is_owner(context_); }

void Queue::sync(const Task& task) {
  if (isCurrent()) {
    task();
    return;
  }
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  async([&] {
    task();
    std::lock_guard lock(m);
    done = true;
    cv.notify_one();
  });
  std::unique_lock lock(m);
  cv.wait(lock, [&] { return done; });
}

namespace {

class MainQueue final : public Queue {
 public:
  MainQueue() : Queue("main", g_main_context_default()) { attach(); }
};

class SerialQueue final : public Queue {
 public:
  explicit SerialQueue(std::string label) : Queue(std::move(label), g_main_context_new()) {
    g_main_context_unref(context());  // the base holds the one reference
    attach();
    // The thread keeps its own references: it may outlive the queue when the
    // queue is destroyed from one of its tasks. A stop flag rather than
    // g_main_loop_quit(), which is lost when it comes before the thread has
    // entered g_main_loop_run().
    thread_ = std::thread([context = g_main_context_ref(context()), stop = stop_] {
      g_main_context_push_thread_default(context);
      while (!stop->load()) g_main_context_iteration(context, TRUE);
      g_main_context_pop_thread_default(context);
      g_main_context_unref(context);
    });
  }
  ~SerialQueue() override {
    markStopped();
    stop_->store(true);
    g_main_context_wakeup(context());
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // destroyed from its own task: the thread ends when the task returns
    } else {
      thread_.join();
    }
  }

 private:
  std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
  std::thread thread_;
};

GMainLoop* mainLoop() {
  static GMainLoop* loop = g_main_loop_new(g_main_context_default(), FALSE);
  return loop;
}

}  // namespace

Queue& mainQueue() {
  static MainQueue* queue = new MainQueue();  // lives as long as the process
  return *queue;
}

std::shared_ptr<Queue> makeSerialQueue(std::string label) { return std::make_shared<SerialQueue>(std::move(label)); }

void runMain() {
  mainQueue();
  g_main_loop_run(mainLoop());
}

void quitMain() { g_main_loop_quit(mainLoop()); }

bool runMainUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  mainQueue();
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::milliseconds(0)) return done();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
    GSource* wake = g_timeout_source_new(static_cast<guint>(std::min<long long>(ms, 50)));
    g_source_set_callback(wake, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(wake, g_main_context_default());
    g_main_context_iteration(g_main_context_default(), TRUE);
    g_source_destroy(wake);
    g_source_unref(wake);
  }
  return true;
}

}  // namespace dispatch
