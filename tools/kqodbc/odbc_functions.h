#pragma once

// The driver entry points the proxy forwards, looked up by name in the real driver. X(name) for those
// without text arguments, XW(name) for those that take or return text and so also come in a wide form.
#define KQODBC_PLAIN_FUNCTIONS(X) \
  X(SQLAllocHandle)               \
  X(SQLBindCol)                   \
  X(SQLBindParameter)             \
  X(SQLBulkOperations)            \
  X(SQLCancel)                    \
  X(SQLCloseCursor)               \
  X(SQLCopyDesc)                  \
  X(SQLDescribeParam)             \
  X(SQLDisconnect)                \
  X(SQLEndTran)                   \
  X(SQLExecute)                   \
  X(SQLFetch)                     \
  X(SQLFetchScroll)               \
  X(SQLFreeHandle)                \
  X(SQLFreeStmt)                  \
  X(SQLGetData)                   \
  X(SQLGetEnvAttr)                \
  X(SQLGetFunctions)              \
  X(SQLMoreResults)               \
  X(SQLNumParams)                 \
  X(SQLNumResultCols)             \
  X(SQLParamData)                 \
  X(SQLPutData)                   \
  X(SQLRowCount)                  \
  X(SQLSetDescRec)                \
  X(SQLSetEnvAttr)                \
  X(SQLSetPos)

#define KQODBC_TEXT_FUNCTIONS(XW) \
  XW(SQLBrowseConnect)            \
  XW(SQLColAttribute)             \
  XW(SQLColumnPrivileges)         \
  XW(SQLColumns)                  \
  XW(SQLConnect)                  \
  XW(SQLDescribeCol)              \
  XW(SQLDriverConnect)            \
  XW(SQLError)                    \
  XW(SQLExecDirect)               \
  XW(SQLForeignKeys)              \
  XW(SQLGetConnectAttr)           \
  XW(SQLGetCursorName)            \
  XW(SQLGetDescField)             \
  XW(SQLGetDescRec)               \
  XW(SQLGetDiagField)             \
  XW(SQLGetDiagRec)               \
  XW(SQLGetInfo)                  \
  XW(SQLGetStmtAttr)              \
  XW(SQLGetTypeInfo)              \
  XW(SQLNativeSql)                \
  XW(SQLPrepare)                  \
  XW(SQLPrimaryKeys)              \
  XW(SQLProcedureColumns)         \
  XW(SQLProcedures)               \
  XW(SQLSetConnectAttr)           \
  XW(SQLSetCursorName)            \
  XW(SQLSetDescField)             \
  XW(SQLSetStmtAttr)              \
  XW(SQLSpecialColumns)           \
  XW(SQLStatistics)               \
  XW(SQLTablePrivileges)          \
  XW(SQLTables)
