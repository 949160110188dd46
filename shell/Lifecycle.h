#pragma once

#include <functional>

// Runs one event handler of the program. A failure that reaches here is shown in a message box
// with its number and description; the handler is abandoned and the program goes on, except
// after a fatal failure (the station's start-up), which ends the program once confirmed.
// Nothing escapes into Qt's event loop.
void runHandler(const std::function<void()> &handler);

// Called when the last loaded window goes away: the program ends once the running handler
// returns. Tests replace the action to watch for it.
void programMayEnd();
void setProgramEndAction(std::function<void()> action);

// Unloads every window; the program then ends.
void EndProgram();
