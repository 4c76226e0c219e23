// The settings dialog against controls that behave like Windows' own, the
// simulated registry, and the real service core behind the simulated pipe:
// what it shows when it opens, how it takes keystrokes and drags, what OK
// checks and saves, and that Cancel saves nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "lib/include/QN38HotPlug.h"
#include "lib/core/constants.h"
#include "lib/core/ports/property.h"
#include "tool/core/settings_dialog.h"
#include "tool/res/resource.h"
#include "sim/tool/sim_resources.h"
#include "sim/service/sim_service.h"
#include "sim/tool/sim_settings_window.h"
#include "sim/tool/sim_tool.h"
#include "sim/tool/sim_tray_tool.h"

namespace qn38::tool {
namespace {

using namespace std::chrono_literals;

constexpr std::u16string_view TOOL_PATH = u"C:\\Program Files\\QN38\\QN38HotPlugTool.exe";

std::vector<std::uint8_t> Utf16Value(std::u16string_view text) {
    std::vector<std::uint8_t> bytes;
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

using Strings = std::vector<std::u16string>;

class SettingsDialog : public ::testing::Test {
protected:
    SettingsDialog() {
        toolFiles.executablePath = std::u16string(TOOL_PATH);
        pc.registry.CreateKey(RegistryRoot::CurrentUser, RUN_KEY_PATH);
        window.Attach(dialog);
        service.Start();
    }

    void DriverKey(std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs) {
        std::lock_guard lock(machine);
        pc.registry.SetDword(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), u"DefLen", defLen);
        pc.registry.SetDword(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), u"StartAdrs", startAdrs);
        pc.registry.SetDword(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), u"EndAdrs", endAdrs);
    }
    std::optional<std::uint32_t> Stored(std::u16string_view name) {
        std::lock_guard lock(machine);
        return pc.registry.Dword(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), name);
    }
    std::optional<RegistryValue> RunValue() {
        return pc.registry.Value(RegistryRoot::CurrentUser, RUN_KEY_PATH, RUN_VALUE_NAME);
    }

    // The edits' texts, size first as the dialog reads top-down in the tab order.
    Strings Shown() const {
        return {window.Text(IDC_EDIT_SIZE), window.Text(IDC_EDIT_START), window.Text(IDC_EDIT_END)};
    }
    Strings Members() const { return {dialog.SizeText(), dialog.StartText(), dialog.EndText()}; }

    // Types a whole new text into an edit, as the user replacing what is there.
    void Enter(std::uint32_t editId, std::u16string_view text) {
        window.SelectAll(editId);
        if (text.empty()) {
            window.Clear(editId);
        } else {
            window.Type(editId, text);
        }
    }
    void Window(std::u16string_view size, std::u16string_view start, std::u16string_view end) {
        Enter(IDC_EDIT_SIZE, size);
        Enter(IDC_EDIT_START, start);
        Enter(IDC_EDIT_END, end);
    }

    std::vector<std::uint32_t> MessagesShown() const {
        std::vector<std::uint32_t> ids;
        for (const auto& box : messages.Shown()) ids.push_back(box.stringId);
        return ids;
    }
    // As the dialog read the replies: the service lists an exchange only
    // once it has ended, which may be after the dialog's next request.
    std::vector<ServiceRequest> Requests() { return transport.Replies(); }

    // Another opening of the dialog, on controls of its own.
    struct Opening {
        explicit Opening(SettingsDialog& test)
            : dialog({window, test.messages, test.pc.registry, test.toolFiles, test.client, test.system}) {
            window.Attach(dialog);
            dialog.OnInitDialog();
        }
        Strings Shown() const {
            return {window.Text(IDC_EDIT_SIZE), window.Text(IDC_EDIT_START), window.Text(IDC_EDIT_END)};
        }
        sim::SimSettingsWindow window;
        CtavremoveDlg dialog;
    };

    sim::SimPc pc;
    std::mutex machine;
    sim::SimService service{pc, machine};
    // The service reports running a moment before its pipe listens.
    sim::SimServicePause pause{service};
    sim::SimToolLog log;
    sim::ObservedTransport transport{service.transport(), log};
    ServiceClient client{transport, pause, pc.text};
    sim::SimFiles toolFiles;
    sim::SimStrings strings{*sim::RcResources::LoadToolResources(sim::RC_LANGUAGE_ENGLISH)};
    sim::SimMessageBoxes messages{log, strings};
    sim::SimSystem system;
    sim::SimSettingsWindow window;
    CtavremoveDlg dialog{{window, messages, pc.registry, toolFiles, client, system}};
};

// --- opening: what the dialog shows ---

TEST_F(SettingsDialog, SmokeWithoutDriverKeyShowsDefaults) {
    EXPECT_TRUE(dialog.OnInitDialog());
    EXPECT_EQ(Shown(), (Strings{u"002", u"000", u"EFF"}));
    EXPECT_EQ(window.Position(IDC_SLIDER_START), 0);
    EXPECT_EQ(window.Position(IDC_SLIDER_END), 0xEFF);
    EXPECT_EQ(window.Range(IDC_SLIDER_START), std::make_pair(0, 0xFFF));
    EXPECT_EQ(window.Range(IDC_SLIDER_END), std::make_pair(0, 0xFFF));
    for (const std::uint32_t edit : {IDC_EDIT_SIZE, IDC_EDIT_START, IDC_EDIT_END}) EXPECT_EQ(window.Limit(edit), 3u);
    EXPECT_EQ(window.Icons(), static_cast<std::uint32_t>(IDR_MAINFRAME));
    EXPECT_FALSE(window.Checked(IDC_STARTUP));
    EXPECT_TRUE(messages.Shown().empty());
    EXPECT_TRUE(service.Exchanges().empty());
}

// A screen reader names a control by the label before it in the template,
// which for every edit is another row's: each edit and trackbar carries its
// own row's label instead, in the dialog's language.
TEST_F(SettingsDialog, EachEditAndTrackbarIsNamedByItsOwnRowsLabel) {
    dialog.OnInitDialog();
    const std::map<std::uint32_t, std::uint32_t> expected = {{IDC_EDIT_SIZE, IDS_NAME_MEMORY_SIZE},
                                                             {IDC_EDIT_START, IDS_NAME_START_ADDRESS},
                                                             {IDC_SLIDER_START, IDS_NAME_START_ADDRESS},
                                                             {IDC_EDIT_END, IDS_NAME_END_ADDRESS},
                                                             {IDC_SLIDER_END, IDS_NAME_END_ADDRESS}};
    EXPECT_EQ(window.accessibleNames, expected);
    EXPECT_EQ(strings.Load(IDS_NAME_START_ADDRESS), u"Start Address");
    sim::SimStrings japanese{*sim::RcResources::LoadToolResources(sim::RC_LANGUAGE_JAPANESE)};
    EXPECT_EQ(japanese.Load(IDS_NAME_MEMORY_SIZE), u"利用するメモリサイズ");
}

TEST_F(SettingsDialog, DriverValuesShowInMegabytesWithTheLowBitsDropped) {
    DriverKey(0x01000000, 0x00123456, 0x7FF00000);
    dialog.OnInitDialog();
    EXPECT_EQ(Shown(), (Strings{u"010", u"001", u"7FF"}));
    EXPECT_EQ(window.Position(IDC_SLIDER_START), 1);
    EXPECT_EQ(window.Position(IDC_SLIDER_END), 0x7FF);
}

TEST_F(SettingsDialog, SizeOfNothingOrOfEverythingShowsTheDefaultSize) {
    for (const std::uint32_t defLen : {0x00000000u, 0xFFF00000u, 0x000FFFFFu}) {
        DriverKey(defLen, 0x10000000, 0x7FFFFFFF);
        Opening opening(*this);
        EXPECT_EQ(opening.Shown(), (Strings{u"002", u"100", u"7FF"})) << std::hex << defLen;
    }
}

TEST_F(SettingsDialog, StoredWindowBreakingTheRuleFallsBackToAllDefaults) {
    DriverKey(0x00300000, 0x00100000, 0x002FFFFF);  // end + 1 = 3 < start + size = 4
    dialog.OnInitDialog();
    EXPECT_EQ(Shown(), (Strings{u"002", u"000", u"EFF"}));
    EXPECT_EQ(window.Position(IDC_SLIDER_END), 0xEFF);
}

TEST_F(SettingsDialog, StoredWindowThatJustFitsIsShown) {
    DriverKey(0x00100000, 0, 0x000FFFFF);
    dialog.OnInitDialog();
    EXPECT_EQ(Shown(), (Strings{u"001", u"000", u"000"}));

    DriverKey(0x00100000, 0xFFF00000, 0xFFFFFFFF);  // the last MiB of the address space
    EXPECT_EQ(Opening(*this).Shown(), (Strings{u"001", u"FFF", u"FFF"}));
}

TEST_F(SettingsDialog, ValuesThatAreNotOneDwordKeepTheirDefaults) {
    DriverKey(0x01000000, 0x40000000, 0x7FFFFFFF);
    {
        std::lock_guard lock(machine);
        pc.registry.SetValue(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), u"DefLen", REG_TYPE_DWORD, {0, 0});
        pc.registry.SetValue(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), u"StartAdrs", 11,
                             {0, 0, 0, 0x40, 0, 0, 0, 0});
        pc.registry.MakeUnreadable(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), u"EndAdrs");
    }
    dialog.OnInitDialog();
    EXPECT_EQ(Shown(), (Strings{u"002", u"000", u"EFF"}));
}

TEST_F(SettingsDialog, CheckBoxShowsWhetherTheRunValueExistsWhateverItHolds) {
    pc.registry.SetValue(RegistryRoot::CurrentUser, RUN_KEY_PATH, RUN_VALUE_NAME, REG_TYPE_DWORD, {1, 0, 0, 0});
    dialog.OnInitDialog();
    EXPECT_TRUE(window.Checked(IDC_STARTUP));

    pc.registry.SetValue(RegistryRoot::CurrentUser, RUN_KEY_PATH, RUN_VALUE_NAME, REG_TYPE_SZ, {});
    EXPECT_TRUE(Opening(*this).window.Checked(IDC_STARTUP));

    pc.registry.DeleteKey(RegistryRoot::CurrentUser, RUN_KEY_PATH);
    EXPECT_FALSE(Opening(*this).window.Checked(IDC_STARTUP));
}

TEST_F(SettingsDialog, ItsOwnTextChangesRunNoEditHandler) {
    DriverKey(0x01000000, 0x40000000, 0x7FFFFFFF);
    dialog.OnInitDialog();
    // The edits did report the texts written into them...
    EXPECT_GT(window.ownNotifications, 0);
    // ...yet no handler moved a trackbar before its range was set: each was set once.
    EXPECT_EQ(window.PositionsSet(IDC_SLIDER_START), std::vector<int>{0x400});
    EXPECT_EQ(window.PositionsSet(IDC_SLIDER_END), std::vector<int>{0x7FF});
}

// --- keystrokes ---

TEST_F(SettingsDialog, ForeignCharacterIsUndoneAtOnceWithoutMessage) {
    dialog.OnInitDialog();
    for (const std::u16string_view typed : {u"g", u"-", u" "}) {
        Enter(IDC_EDIT_START, typed);
        EXPECT_EQ(window.Text(IDC_EDIT_START), u"000");
        EXPECT_EQ(dialog.StartText(), u"000");
    }
    window.Paste(IDC_EDIT_END, u"1G");
    EXPECT_EQ(window.Text(IDC_EDIT_END), u"EFF");
    EXPECT_TRUE(messages.Shown().empty());
}

TEST_F(SettingsDialog, LowerCaseDigitIsShownUpperAndAccepted) {
    dialog.OnInitDialog();
    Enter(IDC_EDIT_SIZE, u"a");
    EXPECT_EQ(window.Text(IDC_EDIT_SIZE), u"A");
    EXPECT_EQ(dialog.SizeText(), u"A");
    // The size has no trackbar; the others stay where they were.
    EXPECT_EQ(window.Position(IDC_SLIDER_START), 0);
    EXPECT_EQ(window.Position(IDC_SLIDER_END), 0xEFF);
}

TEST_F(SettingsDialog, FourthCharacterIsRefusedByTheEditAlone) {
    dialog.OnInitDialog();
    window.SelectAll(IDC_EDIT_END);
    window.Type(IDC_EDIT_END, u"7FF1");
    EXPECT_EQ(window.Text(IDC_EDIT_END), u"7FF");
    EXPECT_EQ(dialog.EndText(), u"7FF");
    window.SelectAll(IDC_EDIT_START);
    window.Paste(IDC_EDIT_START, u"abcd");  // cut at the limit by the edit, the rest accepted
    EXPECT_EQ(window.Text(IDC_EDIT_START), u"ABC");
    EXPECT_EQ(window.Position(IDC_SLIDER_START), 0xABC);
    EXPECT_TRUE(messages.Shown().empty());
}

TEST_F(SettingsDialog, AcceptedStartAndEndMoveTheirTrackbarsWithoutTheWindowRule) {
    dialog.OnInitDialog();
    Enter(IDC_EDIT_START, u"f00");
    EXPECT_EQ(window.Position(IDC_SLIDER_START), 0xF00);
    Enter(IDC_EDIT_END, u"1");  // end below start: accepted while typing, checked at OK
    EXPECT_EQ(window.Position(IDC_SLIDER_END), 1);
    EXPECT_EQ(Members(), (Strings{u"002", u"F00", u"1"}));
}

TEST_F(SettingsDialog, ClearingTheStartMovesItsTrackbarToZeroAndOkAsksForANumber) {
    DriverKey(0x01000000, 0x40000000, 0x7FFFFFFF);
    dialog.OnInitDialog();
    Enter(IDC_EDIT_START, u"");
    EXPECT_EQ(window.Position(IDC_SLIDER_START), 0);
    window.Click(IDOK_RESULT);
    EXPECT_EQ(MessagesShown(), std::vector<std::uint32_t>{IDS_BAD_HEX_NUMBER});
    EXPECT_EQ(window.Focus(), static_cast<std::uint32_t>(IDC_EDIT_START));
    EXPECT_TRUE(window.Endings().empty());
}

// --- trackbars ---

TEST_F(SettingsDialog, DraggingWithinTheRuleWritesTheText) {
    dialog.OnInitDialog();
    window.Drag(IDC_SLIDER_START, 0x123);
    window.Drag(IDC_SLIDER_END, 0xABC);
    EXPECT_EQ(Shown(), (Strings{u"002", u"123", u"ABC"}));
    EXPECT_EQ(Members(), (Strings{u"002", u"123", u"ABC"}));
    // Only the edit whose text changed was written.
    EXPECT_EQ(window.TextsSet(IDC_EDIT_SIZE), Strings{u"002"});
}

TEST_F(SettingsDialog, StartDraggedPastTheEndIsPushedBackAndKeepsItsText) {
    DriverKey(0x01000000, 0x40000000, 0x7FFFFFFF);
    dialog.OnInitDialog();
    window.Drag(IDC_SLIDER_START, 0x7F5);
    EXPECT_EQ(window.Position(IDC_SLIDER_START), 0x7F0);  // end - size + 1
    EXPECT_EQ(window.Text(IDC_EDIT_START), u"400");
    window.Drag(IDC_SLIDER_START, 0x7F0);  // exactly the last start that fits
    EXPECT_EQ(window.Text(IDC_EDIT_START), u"7F0");
}

TEST_F(SettingsDialog, PushedBackTrackbarsStayWithinTheirRange) {
    dialog.OnInitDialog();
    Window(u"2", u"FFF", u"FFF");
    window.Drag(IDC_SLIDER_END, 0x800);
    EXPECT_EQ(window.PositionsSet(IDC_SLIDER_END).back(), 0x1000);  // start + size - 1, clamped by the control
    EXPECT_EQ(window.Position(IDC_SLIDER_END), 0xFFF);
    EXPECT_EQ(window.Text(IDC_EDIT_END), u"FFF");

    Window(u"2", u"0", u"0");
    window.Drag(IDC_SLIDER_START, 5);
    EXPECT_EQ(window.Position(IDC_SLIDER_START), 0);  // end - size + 1 = -1
    EXPECT_EQ(window.Text(IDC_EDIT_START), u"0");
}

// --- OK: checks in order, each with its message and focus ---

TEST_F(SettingsDialog, EmptyEditsAreReportedOneAtATimeInStartEndSizeOrder) {
    dialog.OnInitDialog();
    Window(u"", u"", u"");
    const std::pair<std::uint32_t, std::u16string_view> steps[] = {
        {IDC_EDIT_START, u"1"}, {IDC_EDIT_END, u"1"}, {IDC_EDIT_SIZE, u"1"}};
    std::size_t shown = 0;
    for (const auto& [edit, fill] : steps) {
        window.Click(IDOK_RESULT);
        ASSERT_EQ(messages.Shown().size(), ++shown);
        EXPECT_EQ(messages.Shown().back().stringId, static_cast<std::uint32_t>(IDS_BAD_HEX_NUMBER));
        EXPECT_EQ(messages.Shown().back().style, MB_ICONEXCLAMATION_STYLE);
        EXPECT_EQ(messages.Shown().back().text, u"Please input the hexadecimal number(0x000-0xfff). ");
        EXPECT_EQ(window.Focus(), edit);
        Enter(edit, fill);
    }
    window.Click(IDOK_RESULT);
    EXPECT_EQ(messages.Shown().size(), shown);
    EXPECT_EQ(window.Endings(), std::vector<int>{IDOK_RESULT});
}

TEST_F(SettingsDialog, ZeroSizeIsRefusedAtTheSizeEdit) {
    dialog.OnInitDialog();
    Enter(IDC_EDIT_SIZE, u"000");
    window.Click(IDOK_RESULT);
    EXPECT_EQ(MessagesShown(), std::vector<std::uint32_t>{IDS_SIZE_IS_ZERO});
    EXPECT_EQ(window.Focus(), static_cast<std::uint32_t>(IDC_EDIT_SIZE));
    EXPECT_EQ(window.Text(IDC_EDIT_SIZE), u"000");  // selected for retyping, not changed
    EXPECT_TRUE(window.Endings().empty());
}

TEST_F(SettingsDialog, WindowTooSmallForItsSizeIsRefusedAtTheStartEdit) {
    DriverKey(0x00200000, 0, 0xEFFFFFFF);
    pc.registry.SetValue(RegistryRoot::CurrentUser, RUN_KEY_PATH, RUN_VALUE_NAME, REG_TYPE_SZ, Utf16Value(u"kept"));
    dialog.OnInitDialog();
    Window(u"010", u"100", u"10E");
    window.Click(IDOK_RESULT);
    EXPECT_EQ(MessagesShown(), std::vector<std::uint32_t>{IDS_WINDOW_TOO_SMALL});
    EXPECT_EQ(messages.Shown()[0].caption, u"QN38EX HotPlug Tool");
    EXPECT_EQ(window.Focus(), static_cast<std::uint32_t>(IDC_EDIT_START));
    // A refused OK saves nothing.
    EXPECT_EQ(RunValue()->data, Utf16Value(u"kept"));
    EXPECT_TRUE(service.Exchanges().empty());

    Enter(IDC_EDIT_END, u"10F");
    window.Click(IDOK_RESULT);
    EXPECT_EQ(window.Endings(), std::vector<int>{IDOK_RESULT});
    EXPECT_EQ(Stored(u"EndAdrs"), 0x10FFFFFFu);
}

// --- OK: what is saved ---

TEST_F(SettingsDialog, SmokeChangedWindowGoesToTheServiceAndOffersARestart) {
    DriverKey(0x00200000, 0, 0xEFFFFFFF);
    dialog.OnInitDialog();
    Window(u"010", u"400", u"7FF");
    messages.Answer(IDYES_RESULT);
    window.Click(IDOK_RESULT);

    ASSERT_TRUE(service.WaitForExchanges(2, 30s));
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].command, CMD_SET_SIZE);
    EXPECT_EQ(requests[0].defLen, 0x01000000u);
    EXPECT_EQ(requests[0].startAdrs, 0x40000000u);
    EXPECT_EQ(requests[0].endAdrs, 0x7FFFFFFFu);
    EXPECT_EQ(requests[1].command, CMD_WRITE_LOG);
    EXPECT_STREQ(requests[1].text, "MemoryChange");
    EXPECT_EQ(Stored(u"DefLen"), 0x01000000u);
    EXPECT_EQ(Stored(u"StartAdrs"), 0x40000000u);
    EXPECT_EQ(Stored(u"EndAdrs"), 0x7FFFFFFFu);

    ASSERT_EQ(messages.Shown().size(), 1u);
    EXPECT_EQ(messages.Shown()[0].stringId, static_cast<std::uint32_t>(IDS_MEMORY_CHANGED));
    EXPECT_EQ(messages.Shown()[0].style, MB_YESNO_STYLE | MB_ICONEXCLAMATION_STYLE);
    EXPECT_EQ(system.rebootRequested, 1);  // with the shutdown privilege enabled first
    EXPECT_EQ(window.Endings(), std::vector<int>{IDOK_RESULT});
}

TEST_F(SettingsDialog, NoToTheRestartClosesWithTheWindowAlreadyStored) {
    DriverKey(0x00200000, 0, 0xEFFFFFFF);
    dialog.OnInitDialog();
    Window(u"FFF", u"000", u"FFF");  // the largest window: every byte of the address space
    messages.Answer(IDNO_RESULT);
    window.Click(IDOK_RESULT);
    EXPECT_EQ(Stored(u"DefLen"), 0xFFF00000u);
    EXPECT_EQ(Stored(u"EndAdrs"), 0xFFFFFFFFu);
    EXPECT_EQ(system.rebootRequested, 0);
    EXPECT_EQ(window.Endings(), std::vector<int>{IDOK_RESULT});
}

TEST_F(SettingsDialog, UnchangedWindowSendsNothingAndAsksNothing) {
    DriverKey(0x01000000, 0x40000000, 0x7FFFFFFF);
    dialog.OnInitDialog();
    window.Click(IDOK_RESULT);
    EXPECT_TRUE(service.Exchanges().empty());
    EXPECT_TRUE(messages.Shown().empty());
    EXPECT_EQ(window.Endings(), std::vector<int>{IDOK_RESULT});
}

TEST_F(SettingsDialog, StoredValueThatCannotBeReadCountsAsZero) {
    DriverKey(0x00200000, 0, 0xEFFFFFFF);
    dialog.OnInitDialog();
    {
        std::lock_guard lock(machine);
        pc.registry.MakeUnreadable(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), u"StartAdrs");
    }
    window.Click(IDOK_RESULT);  // start 000 is what an unreadable value counts as
    EXPECT_TRUE(service.Exchanges().empty());
    EXPECT_EQ(window.Endings(), std::vector<int>{IDOK_RESULT});

    {
        std::lock_guard lock(machine);
        pc.registry.MakeUnreadable(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), u"DefLen");
    }
    Opening(*this).window.Click(IDOK_RESULT);  // size 002 is not 0
    ASSERT_TRUE(service.WaitForExchanges(2, 30s));
    EXPECT_EQ(Requests()[0].defLen, 0x00200000u);
    EXPECT_EQ(MessagesShown(), std::vector<std::uint32_t>{IDS_MEMORY_CHANGED});
}

TEST_F(SettingsDialog, WithoutDriverKeyOkClosesWithoutRequest) {
    dialog.OnInitDialog();
    Window(u"010", u"400", u"7FF");
    window.Click(IDOK_RESULT);
    EXPECT_TRUE(service.Exchanges().empty());
    EXPECT_TRUE(messages.Shown().empty());
    EXPECT_EQ(window.Endings(), std::vector<int>{IDOK_RESULT});
}

TEST_F(SettingsDialog, WindowTheServiceDidNotStoreIsNotReportedAsChangedAndTheDialogCloses) {
    DriverKey(0x00200000, 0, 0xEFFFFFFF);
    pc.registry.FindKey(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH))->denyWrite = true;
    dialog.OnInitDialog();
    window.Click(IDC_STARTUP);
    Window(u"010", u"400", u"7FF");
    messages.Answer(IDYES_RESULT);
    window.Click(IDOK_RESULT);

    ASSERT_TRUE(service.WaitForExchanges(1, 30s));
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);  // no "MemoryChange" for a change that did not happen
    EXPECT_EQ(requests[0].command, CMD_SET_SIZE);
    EXPECT_TRUE(messages.Shown().empty());
    EXPECT_EQ(system.rebootRequested, 0);
    EXPECT_EQ(window.Endings(), std::vector<int>{IDOK_RESULT});
    EXPECT_EQ(Stored(u"DefLen"), 0x00200000u);
    // The start-up choice needs no service and was saved.
    EXPECT_TRUE(RunValue().has_value());
}

TEST_F(SettingsDialog, CheckedBoxWritesTheQuotedPathOnEveryOk) {
    const std::vector<std::uint8_t> expected = Utf16Value(u"\"" + std::u16string(TOOL_PATH) + u"\"");
    pc.registry.SetValue(RegistryRoot::CurrentUser, RUN_KEY_PATH, RUN_VALUE_NAME, REG_TYPE_SZ, expected);
    dialog.OnInitDialog();
    const int writesBefore = pc.registry.writes();
    window.Click(IDOK_RESULT);
    const auto value = RunValue();
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, REG_TYPE_SZ);
    EXPECT_EQ(value->data, expected);
    EXPECT_EQ(value->data.size(), (TOOL_PATH.size() + 2 + 1) * 2);
    EXPECT_EQ(pc.registry.writes(), writesBefore + 1);
}

TEST_F(SettingsDialog, UncheckedBoxDeletesTheRunValueAlsoWhenAbsent) {
    pc.registry.SetValue(RegistryRoot::CurrentUser, RUN_KEY_PATH, RUN_VALUE_NAME, REG_TYPE_SZ, Utf16Value(u"x"));
    dialog.OnInitDialog();
    window.Click(IDC_STARTUP);
    window.Click(IDOK_RESULT);
    EXPECT_FALSE(RunValue().has_value());

    Opening again(*this);
    EXPECT_FALSE(again.window.Checked(IDC_STARTUP));
    again.window.Click(IDOK_RESULT);
    EXPECT_FALSE(RunValue().has_value());
    EXPECT_EQ(again.window.Endings(), std::vector<int>{IDOK_RESULT});
}

TEST_F(SettingsDialog, StartUpStepIsSkippedWhenTheRunKeyOrThePathIsMissing) {
    pc.registry.FindKey(RegistryRoot::CurrentUser, RUN_KEY_PATH)->denyWrite = true;
    dialog.OnInitDialog();
    window.Click(IDC_STARTUP);
    window.Click(IDOK_RESULT);
    EXPECT_FALSE(RunValue().has_value());
    EXPECT_EQ(window.Endings(), std::vector<int>{IDOK_RESULT});

    // A value that names no program would start nothing: the old one stays.
    pc.registry.FindKey(RegistryRoot::CurrentUser, RUN_KEY_PATH)->denyWrite = false;
    pc.registry.SetValue(RegistryRoot::CurrentUser, RUN_KEY_PATH, RUN_VALUE_NAME, REG_TYPE_SZ, Utf16Value(u"old"));
    toolFiles.executablePath.clear();
    window.Click(IDOK_RESULT);
    EXPECT_EQ(RunValue()->data, Utf16Value(u"old"));
}

// --- Cancel ---

TEST_F(SettingsDialog, CancelSavesNothing) {
    DriverKey(0x00200000, 0, 0xEFFFFFFF);
    dialog.OnInitDialog();
    window.Click(IDC_STARTUP);
    Window(u"010", u"400", u"7FF");
    const int writesBefore = pc.registry.writes();
    window.Click(IDCANCEL_RESULT);
    EXPECT_EQ(window.Endings(), std::vector<int>{IDCANCEL_RESULT});
    EXPECT_EQ(pc.registry.writes(), writesBefore);
    EXPECT_FALSE(RunValue().has_value());
    EXPECT_TRUE(service.Exchanges().empty());
}

// --- the units ---

TEST(SettingsUnits, TextsAndBytesOfTheWindow) {
    EXPECT_EQ(UnitsText(0), u"000");
    EXPECT_EQ(UnitsText(0xA), u"00A");
    EXPECT_EQ(UnitsText(0xFFF), u"FFF");
    EXPECT_EQ(ParseHex(u""), 0);
    EXPECT_EQ(ParseHex(u"7fF"), 0x7FF);
    EXPECT_EQ(WindowBytes({0x010, 0x400, 0x7FF}), (MemoryWindowBytes{0x01000000, 0x40000000, 0x7FFFFFFF}));
    EXPECT_EQ(WindowBytes({0xFFF, 0xFFF, 0xFFF}), (MemoryWindowBytes{0xFFF00000, 0xFFF00000, 0xFFFFFFFF}));
}

}  // namespace
}  // namespace qn38::tool
