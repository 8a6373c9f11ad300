// Identifier table: a small growable array searched linearly; it holds a few
// dozen keys at most, so anything cleverer would only cost code.
#include "idtable.h"

#include <cassert>
#include <cstdlib>

IdTable *IdTable_create(uint32_t capacity)
{
    auto *t = static_cast<IdTable *>(std::calloc(1, sizeof(IdTable)));
    if (!t)
        return nullptr;
    if (capacity == 0)
        capacity = 1;
    t->ids = static_cast<uint32_t *>(std::calloc(capacity, sizeof(uint32_t)));
    if (!t->ids) {
        std::free(t);
        return nullptr;
    }
    t->capacity = capacity;
    return t;
}

void IdTable_destroy(IdTable *t)
{
    if (!t)
        return;
    assert(t->ids);
    std::free(t->ids);
    std::free(t);
}

bool IdTable_contains(const IdTable *t, uint32_t key)
{
    assert(t);
    for (uint32_t i = 0; i < t->count; ++i)
        if (t->ids[i] == key)
            return true;
    return false;
}

int IdTable_add(IdTable *t, uint32_t key)
{
    assert(t);
    if (IdTable_contains(t, key))
        return 0;
    if (t->count == t->capacity) {
        uint32_t cap = t->capacity * 2;
        auto *n = static_cast<uint32_t *>(std::realloc(t->ids, cap * sizeof(uint32_t)));
        if (!n)
            return -1;
        t->ids = n;
        t->capacity = cap;
    }
    t->ids[t->count++] = key;
    return 0;
}

int IdTable_addDefaults(IdTable *t)
{
    static const uint32_t defaults[] = {
        0x04036001, 0x04036006, 0x04036010, 0x04036011, 0x04036012, 0x04036014, 0x04036015, 0x0403601C,
        0x0403FAC1, 0x0403FAC2, 0x0403FAC3, 0x0403FAC4, 0x0403FAC5, 0x0403FAC6, 0x08AC1025, 0x15D60001,
    };
    for (uint32_t key : defaults)
        if (IdTable_add(t, key) != 0)
            return -1;
    return 0;
}
