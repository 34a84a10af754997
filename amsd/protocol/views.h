// The replies that read the registry: the "status", "list" and "history"
// views and the "resolve" line.
#pragma once

#include <string_view>

#include "amsd/protocol/reply.h"
#include "amsd/registry/app_table.h"

// The apps running now.
void status_view(const Registry& reg, Reply& out);

// Every app, running or not.
void list_view(const Registry& reg, Reply& out);

// The events of app pkg, oldest first; of every app when pkg is empty.
void history_view(const Registry& reg, std::string_view pkg, Reply& out);

// The one reply line of "resolve <pkg> <activity>"; an empty activity
// stands for a missing one.
void resolve_reply(const Registry& reg, std::string_view pkg,
                   std::string_view activity, Reply& out);
