#pragma once

// How many platform operations the program asked for so far.
extern long g_platformCalls;
