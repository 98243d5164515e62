/* Resource ids of the USB-mode warning window: the dialog, its controls and the string-table
 * entries of its texts. Read by the resource script and by C++ alike, hence plain macros. */
#ifndef BRELON_RESOURCES_WARNING_IDS_H
#define BRELON_RESOURCES_WARNING_IDS_H

#define IDD_WARNING 101

#define IDS_WARNING_CAPTION 105
#define IDS_WARNING_KM1_FIRST 106 /* first text for the one model with its own wording */
#define IDS_WARNING_KM1_SECOND 107
#define IDS_WARNING_BUTTON 108
#define IDS_WARNING_FIRST 109 /* first text for every other model */
#define IDS_WARNING_SECOND 110

#define IDC_WARNING_BUTTON 1 /* the dialog's default button, so Enter presses it */
#define IDC_WARNING_ICON 1001
#define IDC_WARNING_FIRST 1003
#define IDC_WARNING_SECOND 1004

#endif /* BRELON_RESOURCES_WARNING_IDS_H */
