#include "sim/tool/sim_tool.h"

#include <chrono>
#include <cstdio>

#include "lib/core/slot_status.h"
#include "tool/core/tool_ids.h"
#include "tool/res/resource.h"

namespace qn38::sim {
namespace {

std::string Quoted(std::u16string_view text) {
    std::string out = "\"";
    for (char c : Utf8FromUtf16(text)) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out.push_back(c);
        }
    }
    return out + "\"";
}

const char* ActionName(tool::TrayAction action) {
    switch (action) {
    case tool::TrayAction::Add:
        return "add";
    case tool::TrayAction::Modify:
        return "modify";
    case tool::TrayAction::Delete:
        return "delete";
    case tool::TrayAction::SetVersion:
        return "set-version";
    }
    return "?";
}

const char* BalloonIconName(std::uint32_t flags) {
    switch (flags) {
    case tool::NIIF_NONE_FLAG:
        return "none";
    case tool::NIIF_INFO_FLAG:
        return "info";
    case tool::NIIF_ERROR_FLAG:
        return "error";
    default:
        return "other";
    }
}

std::string Decimal(std::uint64_t value) { return std::to_string(value); }

}  // namespace

// ---- SimToolLog

void SimToolLog::Add(std::string line) {
    std::function<void(const std::string&)> observer;
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
        observer = onLine;
    }
    if (observer) observer(line);
}

std::vector<std::string> SimToolLog::Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

// ---- SimSlotQueries

int SimSlotQueries::GetStatus(std::uint32_t bus, std::uint32_t* present) {
    ++statusQueries;
    std::lock_guard lock(machine_);
    if (failStatusReads > 0) {
        --failStatusReads;
        auto& dump = pc_.devices.dump();
        const bool held = dump.heldOpen;
        dump.heldOpen = true;
        const int result = qn38::GetStatus(pc_.platform(), bus, present);
        dump.heldOpen = held;
        return result;
    }
    return qn38::GetStatus(pc_.platform(), bus, present);
}

int SimSlotQueries::GetCardInfo(std::uint32_t bus, char16_t* description, std::uint32_t descriptionBytes,
                                std::uint32_t* status, std::uint32_t* problem) {
    ++cardQueries;
    int result = 0;
    {
        std::lock_guard lock(machine_);
        result = qn38::GetCardInfo(pc_.platform(), bus, description, descriptionBytes, status, problem);
    }
    if (afterCardQuery) afterCardQuery();
    return result;
}

int SimSlotQueries::DoesExistNoFilterRootPort() {
    ++filterQueries;
    std::lock_guard lock(machine_);
    return qn38::DoesExistNoFilterRootPort(pc_.platform());
}

// ---- SimShell

// NIM_MODIFY changes only the members whose flag the record carries: an
// icon change without NIF_INFO leaves the balloon that is up alone.
tool::NotifyIconRecord SimShell::Modified(const tool::NotifyIconRecord& shown, const tool::NotifyIconRecord& record) {
    constexpr std::uint32_t NIF_MESSAGE = 0x01, NIF_ICON = 0x02, NIF_TIP = 0x04, NIF_INFO = 0x10;
    tool::NotifyIconRecord result = shown;
    result.uFlags = record.uFlags;
    if (record.uFlags & NIF_MESSAGE) result.uCallbackMessage = record.uCallbackMessage;
    if (record.uFlags & NIF_ICON) result.iconId = record.iconId;
    if (record.uFlags & NIF_TIP) result.szTip = record.szTip;
    if (record.uFlags & NIF_INFO) {
        result.szInfo = record.szInfo;
        result.szInfoTitle = record.szInfoTitle;
        result.dwInfoFlags = record.dwInfoFlags;
        result.uTimeout = record.uTimeout;
    }
    return result;
}

bool SimShell::NotifyIcon(tool::TrayAction action, const tool::NotifyIconRecord& record) {
    bool accepted = false;
    {
        std::lock_guard lock(mutex_);
        if (absent_) {
        } else if (failures_ > 0) {
            --failures_;
        } else if (action == tool::TrayAction::Add) {
            accepted = !shown_;
        } else {
            accepted = shown_;
        }
        if (accepted && action == tool::TrayAction::SetVersion) {
            version_ = record.uVersion;
        } else if (accepted) {
            shown_ = action != tool::TrayAction::Delete;
            current_ = action == tool::TrayAction::Modify ? Modified(current_, record) : record;
            if (action == tool::TrayAction::Add) version_ = 0;
        }
        calls_.push_back({action, record, accepted});
    }
    std::string line = std::string("tray ") + ActionName(action);
    if (!accepted) {
        line += ": refused";
    } else if (action == tool::TrayAction::SetVersion) {
        line += " " + Decimal(record.uVersion);
    } else if (action != tool::TrayAction::Delete) {
        line += ": icon " + Decimal(record.iconId) + ", tip " + Quoted(record.szTip);
        if (!record.szInfo.empty()) {
            line += ", balloon [" + std::string(BalloonIconName(record.dwInfoFlags)) + "] " +
                    Quoted(record.szInfoTitle) + ": " + Quoted(record.szInfo);
        }
    }
    log_.Add(line);
    return accepted;
}

std::vector<TrayCall> SimShell::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<tool::NotifyIconRecord> SimShell::Balloons() const {
    std::lock_guard lock(mutex_);
    std::vector<tool::NotifyIconRecord> balloons;
    for (const auto& call : calls_) {
        if (call.accepted && call.action != tool::TrayAction::Delete && !call.record.szInfo.empty()) {
            balloons.push_back(call.record);
        }
    }
    return balloons;
}

bool SimShell::IconShown() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

tool::NotifyIconRecord SimShell::Current() const {
    std::lock_guard lock(mutex_);
    return current_;
}

std::uint32_t SimShell::Version() const {
    std::lock_guard lock(mutex_);
    return version_;
}

void SimShell::FailNext(int count) {
    std::lock_guard lock(mutex_);
    failures_ = count;
}

void SimShell::SetAbsent(bool absent) {
    std::lock_guard lock(mutex_);
    absent_ = absent;
    if (absent) shown_ = false;
}

void SimShell::Restart() {
    std::lock_guard lock(mutex_);
    absent_ = false;
    shown_ = false;
}

// ---- SimMenus

void SimMenus::TrackItems(const std::vector<tool::MenuItem>& items, tool::MenuOpening opening) {
    Track(false, items, opening);
}

void SimMenus::TrackMainMenu(tool::MenuOpening opening) {
    std::vector<tool::MenuItem> items;
    for (const auto& item : mainMenu_) items.push_back({item.command, item.text});
    Track(true, std::move(items), opening);
}

void SimMenus::Track(bool mainMenu, std::vector<tool::MenuItem> items, tool::MenuOpening opening) {
    std::uint32_t chosen = 0;
    if (!choices_.empty()) {
        const std::uint32_t wanted = choices_.front();
        choices_.pop_front();
        for (const auto& item : items) {
            if (wanted != 0 && item.command == wanted) chosen = wanted;
        }
    }
    std::string line = mainMenu ? "menu (main" : "menu (stop";
    line += opening == tool::MenuOpening::FromKeyboard ? ", at the icon, first item selected):" : "):";
    if (items.empty()) line += " empty";
    for (const auto& item : items) {
        line += item.command == 0 ? std::string(" ----") : " [" + Utf8FromUtf16(item.text) + "]";
    }
    line += chosen != 0 ? " -> " + Decimal(chosen) : std::string(" -> dismissed");
    log_.Add(line);
    shown_.push_back({mainMenu, opening, std::move(items), chosen});
    if (chosen != 0) window_.PostCommand(chosen);
}

// ---- SimMessageBoxes

int SimMessageBoxes::Show(std::uint32_t stringId, std::uint32_t style) {
    ShownMessageBox box{stringId, style, strings_.Load(stringId), strings_.Load(IDS_APP_TITLE), 0};
    const bool yesNo = (style & 0x0F) == tool::MB_YESNO_STYLE;
    if (!answers_.empty()) {
        box.answer = answers_.front();
        answers_.pop_front();
    } else {
        box.answer = yesNo ? tool::IDNO_RESULT : tool::IDOK_RESULT;
    }
    if (whileOpen) whileOpen(box);
    const char* answer = box.answer == tool::IDYES_RESULT ? "Yes" : box.answer == tool::IDNO_RESULT ? "No" : "OK";
    log_.Add("message box " + Decimal(stringId) + " " + Quoted(box.caption) + ": " + Quoted(box.text) + " -> " +
             answer);
    shown_.push_back(box);
    return box.answer;
}

// ---- SimWindow

class SimWindow::Worker final : public tool::WorkerThread {
public:
    Worker(SimWindow& window, std::function<void()> body, bool flow) : window_(window) {
        if (flow) {
            std::lock_guard lock(window_.mutex_);
            ++window_.flowsRunning_;
        }
        thread_ = std::thread([this, flow, body = std::move(body)] {
            body();
            std::lock_guard lock(window_.mutex_);
            finished_ = true;
            if (flow) --window_.flowsRunning_;
            window_.changed_.notify_all();
        });
    }
    std::thread::id id() const { return thread_.get_id(); }
    ~Worker() override {
        if (thread_.joinable()) thread_.join();
    }

    bool WaitServingWindow(std::chrono::milliseconds bound) override {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        std::unique_lock lock(window_.mutex_);
        while (!finished_) {
            if (window_.HandleOne(lock)) continue;
            if (window_.changed_.wait_until(lock, deadline) == std::cv_status::timeout && !finished_) return false;
        }
        lock.unlock();
        thread_.join();
        return true;
    }

private:
    SimWindow& window_;
    std::thread thread_;
    bool finished_ = false;  // guarded by the window's mutex
};

SimWindow::~SimWindow() { Detach(); }

void SimWindow::Attach(tool::CAboutDlg& dialog) {
    std::lock_guard lock(mutex_);
    dialog_ = &dialog;
    windowThread_ = std::this_thread::get_id();
    attached_ = true;
}

void SimWindow::Detach() {
    std::lock_guard lock(mutex_);
    attached_ = false;
    dialog_ = nullptr;
    for (auto& sent : sent_) sent->done = true;
    sent_.clear();
    posted_.clear();
    changed_.notify_all();
}

bool SimWindow::HandleOne(std::unique_lock<std::mutex>& lock) {
    if (!sent_.empty()) {
        const auto sent = sent_.front();
        sent_.pop_front();
        auto* dialog = dialog_;
        lock.unlock();
        if (dialog != nullptr) dialog->OnTrayNotify(sent->wParam, sent->lParam);
        lock.lock();
        sent->done = true;
        changed_.notify_all();
        return true;
    }
    if (!posted_.empty()) {
        const Posted posted = posted_.front();
        posted_.pop_front();
        auto* dialog = dialog_;
        lock.unlock();
        if (dialog != nullptr && posted.command != 0) {
            dialog->OnCommand(posted.command);
        } else if (dialog != nullptr) {
            dialog->OnTrayNotify(posted.wParam, posted.lParam);
        }
        lock.lock();
        return true;
    }
    return false;
}

int SimWindow::Pump() {
    std::unique_lock lock(mutex_);
    int handled = 0;
    while (true) {
        if (HandleOne(lock)) {
            ++handled;
            continue;
        }
        // A flow's worker posts its end before it finishes.
        if (flowsRunning_ == 0 || !awaitFlows) break;
        changed_.wait_for(lock, std::chrono::milliseconds(50));
    }
    return handled;
}

bool SimWindow::OnPollerThread() const {
    std::lock_guard lock(mutex_);
    return pollerThread_ != std::thread::id() && std::this_thread::get_id() == pollerThread_;
}

bool SimWindow::PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        Pump();
        if (done()) return true;
        std::unique_lock lock(mutex_);
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (sent_.empty() && posted_.empty()) changed_.wait_for(lock, std::chrono::milliseconds(2));
    }
}

void SimWindow::PostCommand(std::uint32_t command) {
    std::lock_guard lock(mutex_);
    if (!attached_) return;
    posted_.push_back({command, 0, 0});
    changed_.notify_all();
}

void SimWindow::PostTrayNotify(std::uintptr_t wParam, std::intptr_t lParam) {
    std::lock_guard lock(mutex_);
    if (!attached_) return;
    posted_.push_back({0, wParam, lParam});
    changed_.notify_all();
}

int SimWindow::BlockedSenders() const {
    std::lock_guard lock(mutex_);
    return blockedSenders_;
}

void SimWindow::SendTrayNotify(std::uintptr_t wParam, std::intptr_t lParam) {
    std::unique_lock lock(mutex_);
    if (!attached_) return;
    if (OnWindowThread()) {
        auto* dialog = dialog_;
        lock.unlock();
        dialog->OnTrayNotify(wParam, lParam);
        return;
    }
    auto sent = std::make_shared<Sent>(Sent{wParam, lParam, false});
    sent_.push_back(sent);
    ++blockedSenders_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return sent->done; });
    --blockedSenders_;
}

void SimWindow::Show(bool visible) {
    if (!visible) {
        visible_ = false;
        log_.Add("window hidden");
        return;
    }
    std::uint32_t flags = tool::SWP_SHOWWINDOW_FLAG;
    if (dialog_ != nullptr) dialog_->OnWindowPosChanging(flags);
    visible_ = (flags & tool::SWP_SHOWWINDOW_FLAG) != 0;
    log_.Add(visible_ ? "window shown (About box)" : "window kept hidden");
}

void SimWindow::ShowAsModalDialogDoes() {
    std::uint32_t flags = tool::SWP_SHOWWINDOW_FLAG;
    if (dialog_ != nullptr) dialog_->OnWindowPosChanging(flags);
    visible_ = (flags & tool::SWP_SHOWWINDOW_FLAG) != 0;
}

void SimWindow::EndDialog(int result) {
    ended_ = result;
    log_.Add("main dialog ended with " + Decimal(static_cast<std::uint64_t>(result)));
}

void SimWindow::SetItemText(std::uint32_t controlId, std::u16string_view text) {
    items_[controlId] = std::u16string(text);
}

std::u16string SimWindow::ItemText(std::uint32_t controlId) const {
    const auto found = items_.find(controlId);
    return found == items_.end() ? std::u16string() : found->second;
}

std::unique_ptr<tool::WorkerThread> SimWindow::Begin(std::function<void()> body) {
    log_.Add("poller started");
    auto worker = std::make_unique<Worker>(*this, std::move(body), false);
    std::lock_guard lock(mutex_);
    pollerThread_ = worker->id();
    return worker;
}

std::unique_ptr<tool::WorkerThread> SimWindow::BeginFlow(std::function<void()> body) {
    return std::make_unique<Worker>(*this, std::move(body), true);
}

// ---- PollGate and SimSystem

void PollGate::Arrive() {
    std::unique_lock lock(mutex_);
    ++arrivals_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_ || released_ > 0; });
    if (!open_) --released_;
}

void PollGate::Release() {
    std::lock_guard lock(mutex_);
    ++released_;
    changed_.notify_all();
}

void PollGate::Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
}

std::uint64_t PollGate::Arrivals() const {
    std::lock_guard lock(mutex_);
    return arrivals_;
}

void SimSystem::Sleep(std::uint32_t milliseconds) {
    if (milliseconds == tool::POLL_INTERVAL_MS && !realTime) {
        pollGate.Arrive();
        return;
    }
    if (milliseconds != tool::POLL_INTERVAL_MS) {
        {
            std::lock_guard lock(mutex_);
            sleeps_.push_back(milliseconds);
        }
        if (onSleep) onSleep(milliseconds);
    }
    if (realTime) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::vector<std::uint32_t> SimSystem::Sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
}

// ---- settings dialog

std::unique_ptr<tool::SettingsDialog> SimSettingsDialogs::Create() {
    return std::make_unique<SimSettingsDialog>(*this, ++opened_);
}

int SimSettingsDialog::DoModal() {
    owner_.log_.Add("settings dialog " + Decimal(static_cast<std::uint64_t>(number_)) + " opened");
    if (owner_.whileOpen) {
        owner_.whileOpen(*this);
    } else {
        EndDialog(tool::IDOK_RESULT);
    }
    return ended_.value_or(tool::IDCANCEL_RESULT);
}

void SimSettingsDialog::EndDialog(int result) {
    if (ended_) return;
    ended_ = result;
    owner_.endings.emplace_back(number_, result);
    owner_.log_.Add("settings dialog " + Decimal(static_cast<std::uint64_t>(number_)) + " ended with " +
                    Decimal(static_cast<std::uint64_t>(result)));
}

// ---- SimAppHost

SimAppHost::~SimAppHost() {
    if (mutex_) desktop_.mutexes.erase(*mutex_);
}

bool SimAppHost::CreateSingleInstanceMutex(std::u16string_view name) {
    // The mutex is created (or opened) either way; only the first owner keeps running.
    const bool created = desktop_.mutexes.insert(std::u16string(name)).second;
    if (created) mutex_ = std::u16string(name);
    return created;
}

void SimAppHost::RegisterDialogClass(std::u16string_view baseClass, std::u16string_view name) {
    if (baseClass == u"#32770") desktop_.windowClasses.insert(std::u16string(name));
}

int SimAppHost::RunMainDialog() {
    ++dialogsRun;
    return runMainDialog ? runMainDialog() : tool::IDOK_RESULT;
}

}  // namespace qn38::sim
