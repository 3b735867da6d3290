// A tcpline sender for end-to-end tests: pipelines its records, up to 16
// unanswered; a record answered 1, or whose answer was lost with the
// connection (the host killed, say), is sent again. Each record carries
// N=<sender>-<number>, a key unique over the run.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LineClient.h"

struct PipeliningSender {
    int id;
    int port;
    int records;
    std::atomic<bool>& quit;
    std::chrono::milliseconds pace{0};  // between two sends
    std::atomic<int> answeredZero{0};
    std::atomic<int> answeredOne{0};
    std::atomic<int> resent{0};

    void run() {
        std::deque<int> toSend;
        for (int i = 0; i < records; ++i) toSend.push_back(i);
        std::deque<int> unanswered;
        std::unique_ptr<LineClient> client;
        while (answeredZero < records && !quit) {
            if (!client) {
                client.reset(new LineClient(port));
                if (!client->connected()) {
                    client.reset();
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    continue;
                }
            }
            bool lost = false;
            while (unanswered.size() < 16 && !toSend.empty() && !lost) {
                int record = toSend.front();
                lost = !client->send("N=" + std::to_string(id) + "-" + std::to_string(record) +
                                     ";CALLER=20" + std::to_string(id) + "\n");
                if (lost) break;
                toSend.pop_front();
                unanswered.push_back(record);
                if (pace.count() > 0) std::this_thread::sleep_for(pace);
            }
            std::string reply = lost ? "" : client->readLine(8000);
            if (reply.empty() || reply[0] == '<') {
                // The host went away: what it did not answer is sent again.
                resent += static_cast<int>(unanswered.size());
                toSend.insert(toSend.begin(), unanswered.begin(), unanswered.end());
                unanswered.clear();
                client.reset();
                continue;
            }
            int record = unanswered.front();
            unanswered.pop_front();
            if (reply.rfind("0;", 0) == 0) {
                ++answeredZero;
            } else {
                ++answeredOne;
                toSend.push_back(record);
            }
        }
    }
};

// `count` senders numbered from 0, each on a thread of its own; told to
// quit and joined when the group goes, also when a test ends early.
class SenderGroup {
public:
    SenderGroup(int count, int port, int records,
                std::chrono::milliseconds pace = std::chrono::milliseconds(0)) {
        for (int i = 0; i < count; ++i) {
            senders_.emplace_back(new PipeliningSender{i, port, records, quit_});
            senders_.back()->pace = pace;
        }
        for (auto& sender : senders_) threads_.emplace_back([&sender] { sender->run(); });
    }
    ~SenderGroup() {
        quit_ = true;
        join();
    }
    SenderGroup(const SenderGroup&) = delete;
    SenderGroup& operator=(const SenderGroup&) = delete;

    // Waits until every sender has had all its records answered 0.
    void join() {
        for (auto& thread : threads_)
            if (thread.joinable()) thread.join();
    }
    long long answeredZero() const { return sum(&PipeliningSender::answeredZero); }
    long long answeredOne() const { return sum(&PipeliningSender::answeredOne); }
    long long resent() const { return sum(&PipeliningSender::resent); }

private:
    long long sum(std::atomic<int> PipeliningSender::*count) const {
        long long total = 0;
        for (const auto& sender : senders_) total += ((*sender).*count).load();
        return total;
    }

    std::atomic<bool> quit_{false};
    std::vector<std::unique_ptr<PipeliningSender>> senders_;
    std::vector<std::thread> threads_;
};
