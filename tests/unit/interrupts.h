// Interrupts a thread's system calls: while it lives, a signal whose
// handler does nothing (installed without SA_RESTART) reaches the thread
// that made it every 200 microseconds, so that its blocking calls return
// EINTR wherever they can.
#pragma once

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

class Interrupter {
  public:
    Interrupter() : target_(::pthread_self()) {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGUSR1, &sa, &old_);
        thread_ = std::thread([this] {
            while (!done_) {
                ::pthread_kill(target_, SIGUSR1);
                ::usleep(200);
            }
        });
    }
    ~Interrupter() {
        done_ = true;
        thread_.join();
        ::sigaction(SIGUSR1, &old_, nullptr);
    }
    Interrupter(const Interrupter&) = delete;
    Interrupter& operator=(const Interrupter&) = delete;

  private:
    pthread_t target_;
    struct sigaction old_ {};
    std::atomic<bool> done_{false};
    std::thread thread_;
};
