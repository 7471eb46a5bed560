// Decisions of the Win32 platform layer that need no system call to be made,
// kept apart so that the Windows tests can check them directly: which
// console events end a run, and whether a name read from a folder leads
// back to the item it was read for.
#pragma once

#include <string>

// What the console control handler does with an event.
enum ConsoleEventAction {
    EVENT_INTERRUPTS,  // undo the change under way and end the process
    EVENT_IGNORED,     // handled: the run goes on as if nothing came
    EVENT_PASSED_ON    // not ours: the next handler (in the end the system's) decides
};

// The action for console event `event` (CTRL_C_EVENT ... CTRL_SHUTDOWN_EVENT).
// Ctrl+C, Ctrl+Break, closing the console and shutting down interrupt. A
// log-off interrupts only a process of an interactive session: the system
// sends it to every console process of the services' session whenever any
// user logs off, and a run started by a service or a scheduled task goes
// on then. Any other event is passed on.
ConsoleEventAction console_event_action(unsigned long event, int interactive_session);

// Converts `wide`, a name read from a folder, to the ANSI code page into
// `name`; 1 when a path built from `name` leads back to that item: every
// character converts as it is (no best-fit look-alike, no default
// character), and the result holds no separator or colon, is not "." or
// "..", and does not end in a dot or a blank, which a path drops. Where it
// returns 0, `name` shows the item with "?" for each character the code
// page lacks.
int folder_item_name(const wchar_t* wide, std::string* name);

