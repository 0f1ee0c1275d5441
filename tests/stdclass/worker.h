// A thread that runs the tasks handed to it one at a time and waits for each,
// so tests can act as several threads in a fixed order.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class Worker {
public:
    Worker() : thread_([this] { Loop(); }) {}
    ~Worker() {
        Do(nullptr);
        thread_.join();
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Runs task on the worker's thread and returns when it is done; a null
    // task ends the worker.
    void Do(std::function<void()> task) {
        std::unique_lock<std::mutex> g(m_);
        task_ = std::move(task);
        stop_ = !task_;
        pending_ = true;
        cv_.notify_all();
        cv_.wait(g, [this] { return !pending_; });
    }

private:
    void Loop() {
        std::unique_lock<std::mutex> g(m_);
        for (;;) {
            cv_.wait(g, [this] { return pending_; });
            if (stop_) {
                pending_ = false;
                cv_.notify_all();
                return;
            }
            task_();
            pending_ = false;
            cv_.notify_all();
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::function<void()> task_;
    bool pending_ = false;
    bool stop_ = false;
    std::thread thread_;
};
