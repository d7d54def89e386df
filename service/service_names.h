// The names under which the program is known.
#pragma once

// Dispatch table, handler registration, SCM key, event-log source.
constexpr char kServiceName[] = "QuorvaleService";
// Registration and every message of the install and remove commands.
constexpr char kDisplayName[] = "Quorvale Service";
// The usage lines.
constexpr char kUsageName[] = "Quorvale";
