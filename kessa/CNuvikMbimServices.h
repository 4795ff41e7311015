// The device contexts and the dispatch of Mobile Broadband events to them:
// completions wake the callers that wait for them, notifications carry SAR
// data frames and write acknowledgements, session and interface events go to
// the manager. Observer of both sinks.
#pragma once

#include "MbnObserver.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class CNuvikMbimManager;
struct SarDeviceContext;

class CNuvikMbimServices : public MbnObserver {
public:
    explicit CNuvikMbimServices(CNuvikMbimManager& manager);
    ~CNuvikMbimServices();
    CNuvikMbimServices(const CNuvikMbimServices&) = delete;
    CNuvikMbimServices& operator=(const CNuvikMbimServices&) = delete;

    bool Update(MbnSubject* subject, const MbnEvent& event) override;

    // A new context at the end of the list, or null when memory is short.
    SarDeviceContext* OpenContext();
    // Removes the first entry equal to the handle and frees it once no
    // dispatch is using it; false when it was not in the list.
    bool CloseContext(SarDeviceContext* handle);
    size_t ContextCount() const;

    bool OnSetComplete(const MbnEvent& event);
    bool OnQueryComplete(const MbnEvent& event);
    bool OnEventNotification(const MbnEvent& event);
    // Arrival and removal of a Mobile Broadband interface.
    bool OnInterfaceStateChange(const MbnEvent& event);

    // Starts the worker thread once per process.
    void StartWorker();

private:
    using Context = std::shared_ptr<SarDeviceContext>;
    using Task = std::shared_ptr<std::function<void()>>;

    // The contexts as they stand, taken under the list lock. Each stays alive
    // while the dispatch uses it, even when it is closed meanwhile, and a
    // callback may open or close contexts without deadlocking the dispatch.
    std::vector<Context> ListContexts() const;
    // The busy rule of both completion handlers: true when the status is a success.
    bool ApplyStatus(const MbnEvent& event, const std::vector<Context>& contexts);
    void WorkerLoop();

    CNuvikMbimManager& m_manager;
    mutable std::mutex m_csList;
    std::vector<Context> m_contexts;

    bool m_bQueueRunning = true;
    std::deque<Task> m_tasks;
    std::mutex m_csQueue;
    std::condition_variable m_cvQueue;
    std::atomic<bool> m_bWorkerStarted{false};
    std::thread m_worker;
};
