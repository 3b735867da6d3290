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
