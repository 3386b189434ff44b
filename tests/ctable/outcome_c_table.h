#pragma once

/* Calls made from C through the object's method tables (outcome_c_table.c). */
#include "kqintf.h"

#ifdef __cplusplus
extern "C" {
#endif

/* QueryInterface for IKqClient2, back to IKqClient (*sameObject: the pointer we started from), then
   SubmitStatementOutcome through the C table. -2 when the object refused IKqClient2. */
int32_t KqTestCTableOutcome(IKqClient* client, const WCHAR* text, int32_t len, const KqOutcome* outcome,
                            int32_t* sameObject);
/* SubmitStatement through IKqClient2's C table. */
int32_t KqTestCTableSubmit(IKqClient* client, const WCHAR* text, int32_t len);

#ifdef __cplusplus
}
#endif
