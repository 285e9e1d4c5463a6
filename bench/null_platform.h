#pragma once

#include "winio_entries.h"

// The do-nothing driver entries the null platform binds.
winio::GetPhysLongFunction null_get_phys_long;
winio::SetPhysLongFunction null_set_phys_long;

// How many times global operator new has run in this process.
long heap_allocations();
