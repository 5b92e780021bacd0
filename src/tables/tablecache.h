// Multi-dielectric tables made on demand: before any walk starts, every
// permittivity pair of the layer stack must be loaded. Pairs that the
// registered folder does not supply are generated with the table
// generator's own code into a cache and loaded from there.
#pragma once

#include <string>

#include "layers.h"

// The registered table folder, or "" when no registration file exists.
std::string RegisteredTableFolder();

// Completes the registry of `tables` for its stack and
// selector: each pair without loaded tables is taken from, or first
// generated into, the registered folder when it is writable, else
// CacheFolder(); one line per generated pair. Throws InputError with
// a message naming the pair and what to do when a pair cannot be had.
void LoadMissingPairs(TableSet& tables, const std::string& registered, int weight_select);
