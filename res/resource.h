/* Resource identifiers shared by TessalyCleanUp.rc and the C++ sources.
   Plain #defines only, so both the resource compiler and C++ can read it. */
#ifndef TESSALYCLEANUP_RESOURCE_H
#define TESSALYCLEANUP_RESOURCE_H

#define IDI_APP             90

#define IDD_PAGE1           91
#define IDD_PAGE2           92
#define IDD_PAGE3           93

#define IDS_TITLE           100
#define IDS_QUERYCANCEL     101
#define IDS_RESTARTNOTE     102

#define IDC_APPICON         1001
#define IDC_PROGRESS1       1002
#define IDC_CHECK1          1003
#define IDC_MESSAGE         1004

#endif /* TESSALYCLEANUP_RESOURCE_H */
