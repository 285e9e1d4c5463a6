#pragma once

#include <cstdint>

// The do-nothing driver entries the null platform binds.
std::uint8_t null_get_phys_long(std::uintptr_t physical_address, std::uint32_t* value);
std::uint8_t null_set_phys_long(std::uintptr_t physical_address, std::uint32_t value);

// How many times global operator new has run in this process.
long heap_allocations();
