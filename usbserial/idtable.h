// The table of vendor/product identifier pairs the driver accepts. Keys are
// vendor << 16 | product; entries are only ever added.
#pragma once

#include <cstdint>

struct IdTable {
    uint32_t *ids;
    uint32_t count;
    uint32_t capacity;
};

IdTable *IdTable_create(uint32_t capacity);
void IdTable_destroy(IdTable *t);
// 0 on success (also when the key is present already), -1 when the table
// could not grow (it keeps its contents).
int IdTable_add(IdTable *t, uint32_t key);
bool IdTable_contains(const IdTable *t, uint32_t key);
// Adds the sixteen pairs every open accepts without FT_SetVIDPID.
int IdTable_addDefaults(IdTable *t);
