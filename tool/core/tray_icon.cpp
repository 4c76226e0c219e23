// The tray icon and the menus it opens. Everything here runs on the
// window's thread; the poller asks for an icon refresh by a message.
#include <utility>

#include "tool/core/main_window.h"
#include "tool/core/main_window_resources.h"
#include "tool/core/tool_ids.h"
#include "tool/core/tool_text.h"

namespace qn38::tool {
namespace {

constexpr std::size_t MENU_TEXT_CHARACTERS = 1023;  // what wsprintfW writes at most
// NIF_MESSAGE | NIF_ICON | NIF_TIP: a change of the icon alone. Without
// NIF_INFO the shell leaves the balloon that is up as it is; with it and an
// empty text it would take that balloon away.
constexpr std::uint32_t NIF_ICON_ONLY_FLAGS = 0x07;

}  // namespace

void CAboutDlg::OnTaskbarCreated() {
    // A window that is ending has removed its icon for good.
    if (m_bPollRun == 0) return;
    // Explorer restarted (or started late): the old icon went with it.
    m_bIconShown = 0;
    AddTrayIcon(TRAY_ATTEMPTS);
}

void CAboutDlg::AddTrayIcon(int attempts) {
    // The balloon belonged to the moment it was shown; the new icon carries
    // only what the icon shows now.
    NotifyIconRecord record = m_nid;
    record.szInfo.clear();
    record.dwInfoFlags = NIIF_NONE_FLAG;
    if (PutTrayIcon(record, attempts)) m_bIconShown = 1;
}

bool CAboutDlg::PutTrayIcon(const NotifyIconRecord& record, int attempts) {
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        // An add is refused for an icon the shell holds already (a broadcast
        // that came after the start-up's own add got through): the modify
        // then finds it.
        if (ports_.tray.NotifyIcon(TrayAction::Add, record)) {
            SetTrayVersion();
            return true;
        }
        if (ports_.tray.NotifyIcon(TrayAction::Modify, record)) return true;
        if (attempt < attempts) ports_.system.Sleep(TRAY_RETRY_MS);
    }
    return false;
}

void CAboutDlg::SetTrayVersion() {
    // A new notification area knows nothing of what the old one was asked:
    // every add asks again.
    NotifyIconRecord record = m_nid;
    record.uVersion = NOTIFY_ICON_VERSION;
    ports_.tray.NotifyIcon(TrayAction::SetVersion, record);
}

void CAboutDlg::OnTrayIconMessage(std::intptr_t message) {
    // A click sends its button-down, then (version 3) NIN_SELECT or
    // WM_CONTEXTMENU for the same click: the menu the press opened is that
    // click's answer, so the notification that follows it opens no second one.
    const std::intptr_t pressed = std::exchange(m_nMenuPress, 0);
    switch (message) {
    case WM_LBUTTONDOWN_MESSAGE:
        m_nMenuPress = message;
        ShowStopMenu(MenuOpening::AtCursor);
        break;
    case WM_RBUTTONDOWN_MESSAGE:
        m_nMenuPress = message;
        ports_.menus.TrackMainMenu(MenuOpening::AtCursor);
        break;
    case NIN_SELECT_MESSAGE:
        if (pressed == WM_LBUTTONDOWN_MESSAGE) break;
        ShowStopMenu(MenuOpening::FromKeyboard);
        break;
    case NIN_KEYSELECT_MESSAGE:
        ShowStopMenu(MenuOpening::FromKeyboard);
        break;
    case WM_CONTEXTMENU_MESSAGE:
        if (pressed == WM_RBUTTONDOWN_MESSAGE) break;
        ports_.menus.TrackMainMenu(MenuOpening::FromKeyboard);
        break;
    default:
        // The button-ups and moves between a press and its notification.
        m_nMenuPress = pressed;
        break;
    }
}

void CAboutDlg::ShowStopMenu(MenuOpening opening) {
    const std::u16string format = ports_.strings.Load(IDS_STOP_ITEM);
    const std::u16string startFormat = ports_.strings.Load(IDS_START_ITEM);
    std::vector<MenuItem> items;
    for (std::uint32_t index = 0; index < m_nSlotCount; ++index) {
        char16_t description[DESCRIPTION_CHARACTERS] = {};
        if (!CardInSlot(index, description, sizeof description)) {
            // A stopped card has no device, and so no name, until it runs again.
            std::uint32_t present = 0;
            if (m_pSlotStopped[index] != 0 && ports_.slots.GetStatus(m_pSlotBus[index], &present) != 0 &&
                present != 0) {
                items.push_back({ID_START_SLOT_BASE + index,
                                 FormatWithText(startFormat, DEFAULT_CARD_NAME.data(), MENU_TEXT_CHARACTERS)});
            }
            continue;
        }
        const std::u16string name = CardName(DescriptionIn(description, DESCRIPTION_CHARACTERS));
        items.push_back({ID_STOP_SLOT_BASE + index, FormatWithText(format, name.c_str(), MENU_TEXT_CHARACTERS)});
    }
    ports_.menus.TrackItems(items, opening);
}

std::uint32_t CAboutDlg::CardIcon() {
    for (std::uint32_t index = 0; index < m_nSlotCount; ++index) {
        if (CardInSlot(index, nullptr, 0)) return ICON_CARD;
    }
    return ICON_NO_CARD;
}

bool CAboutDlg::CardInSlot(std::uint32_t index, char16_t* description, std::uint32_t descriptionBytes) {
    const std::uint8_t bus = m_pSlotBus[index];
    if (ports_.slots.GetCardInfo(bus, description, descriptionBytes, nullptr, nullptr) == 0) return false;
    std::uint32_t present = 0;
    // A slot that cannot be read is given the benefit of the doubt: its
    // card's stop refuses safely if there is nothing to stop.
    return ports_.slots.GetStatus(bus, &present) == 0 || present != 0;
}

void CAboutDlg::UpdateTrayIcon(std::uint32_t iconId, std::uint32_t stringId, std::uint32_t infoFlags,
                               const char16_t* name, std::u16string_view holder) {
    if (stringId == 0) {
        m_nid.szInfo.clear();
    } else {
        const char16_t* argument = name;
        if (name != nullptr && *name == 0) argument = DEFAULT_CARD_NAME.data();
        m_nid.szInfo = WithHolderLine(FormatWithText(ports_.strings.Load(stringId), argument, INFO_CHARACTERS),
                                      holder.empty() ? std::u16string() : ports_.strings.Load(IDS_STOP_HOLDER), holder,
                                      INFO_CHARACTERS);
    }
    m_nid.dwInfoFlags = infoFlags;
    m_nid.iconId = iconId == ICON_CARD ? CardIcon() : iconId;
    if (m_bIconShown == 0) {
        // No notification area holds the icon: one try to add it, without
        // pauses, in case the shell came up without a broadcast.
        if (PutTrayIcon(m_nid, 1)) m_bIconShown = 1;
        return;
    }
    // A shell that lost the icon in a restart refuses every modify until its
    // TaskbarCreated broadcast; the pauses are then spent only once.
    if (!NotifyWithRetries(TrayAction::Modify, m_nid, TRAY_ATTEMPTS)) m_bIconShown = 0;
}

void CAboutDlg::RefreshTrayIcon() {
    // The busy icon belongs to a flow, which shows the outcome itself.
    if (m_nid.iconId == ICON_BUSY || m_bIconShown == 0) return;
    const std::uint32_t icon = CardIcon();
    if (icon == m_nid.iconId) return;
    m_nid.iconId = icon;
    NotifyIconRecord record = m_nid;
    record.uFlags = NIF_ICON_ONLY_FLAGS;
    record.szInfo.clear();
    record.dwInfoFlags = NIIF_NONE_FLAG;
    if (!NotifyWithRetries(TrayAction::Modify, record, TRAY_ATTEMPTS)) m_bIconShown = 0;
}

bool CAboutDlg::NotifyWithRetries(TrayAction action, const NotifyIconRecord& record, int attempts) {
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (ports_.tray.NotifyIcon(action, record)) return true;
        // The shell may be busy, still starting (log-on) or restarting.
        if (attempt < attempts) ports_.system.Sleep(TRAY_RETRY_MS);
    }
    return false;
}

}  // namespace qn38::tool
