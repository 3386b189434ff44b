/* A C driver's view of the object: IKqClient2 reached through the C method table, at the slots that C
   drivers compile against. Linked into the C++ tests, which hand it an object and check the records. */
#include "outcome_c_table.h"

int32_t KqTestCTableOutcome(IKqClient* client, const WCHAR* text, int32_t len, const KqOutcome* outcome,
                            int32_t* sameObject) {
  IKqClient2* client2 = NULL;
  IKqClient* back = NULL;
  int32_t result;
  *sameObject = 0;
  if (client->lpVtbl->QueryInterface(client, &IID_IKqClient2, (void**)&client2) != S_OK || !client2) return -2;
  /* The extended table starts with IKqClient's: its SubmitStatement slot is the same method. */
  if (client2->lpVtbl->QueryInterface(client2, &IID_IKqClient, (void**)&back) == S_OK && back) {
    *sameObject = back == client;
    back->lpVtbl->Release(back);
  }
  result = client2->lpVtbl->SubmitStatementOutcome(client2, text, len, outcome);
  client2->lpVtbl->Release(client2);
  return result;
}

int32_t KqTestCTableSubmit(IKqClient* client, const WCHAR* text, int32_t len) {
  IKqClient2* client2 = NULL;
  int32_t result;
  if (client->lpVtbl->QueryInterface(client, &IID_IKqClient2, (void**)&client2) != S_OK || !client2) return -2;
  result = client2->lpVtbl->SubmitStatement(client2, text, len);
  client2->lpVtbl->Release(client2);
  return result;
}
