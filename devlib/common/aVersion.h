/*
 * Version words: major, minor and patch packed into 32 bits.
 *   current: 0x2F << 24 | major << 16 | minor << 8 | patch
 *   legacy:  major << 28 | minor << 24 | patch (24 bits), for versions below 2.15
 * The marker reads as 2.15 in the legacy reading, so every current word sorts
 * above every legacy word.
 */
#ifndef VORLIXANE_AVERSION_H
#define VORLIXANE_AVERSION_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 12
#define aVERSION_PATCH 2
#define aVERSION_PHASE "."

typedef struct aFeature {
    const char* name;
    const char* description;
} aFeature;

#define NUM_FEATS 1
extern const aFeature FEATS[NUM_FEATS];

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsLegacyFormat(uint32_t version);
uint8_t aVersion_ParseMajor(uint32_t version);
uint8_t aVersion_ParseMinor(uint32_t version);
/* The legacy patch is the whole 24-bit field. */
uint32_t aVersion_ParsePatch(uint32_t version);

/* "%d.%d.%d" into buffer with snprintf semantics; returns the snprintf count. */
int aVersion_ParseString(uint32_t version, char* buffer, size_t size);

/* The library's own version. */
uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);
const char* aVersion_GetString(void);

/* Version a is at least version b. */
bool aVersion_IsAtLeastCompare(uint8_t aMajor, uint8_t aMinor, uint8_t aPatch, uint8_t bMajor,
                               uint8_t bMinor, uint8_t bPatch);
/* The library's version is at least the given one. */
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

bool aVersion_HasFeature(const char* name);

/* "name - description" per feature, separated by "\n"; NULL when memory is
 * short. Free with aVersion_DestroyFeatureList. */
char* aVersion_GetFeatureList(void);
aErr aVersion_DestroyFeatureList(char** list);

#ifdef __cplusplus
}
#endif

#endif
