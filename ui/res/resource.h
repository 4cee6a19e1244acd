// Resource ids of the program: dialog templates, controls, skin pictures,
// the letter, the icon and the version block. Shared by the resource script
// and the C++ code, so plain integer defines only.
#pragma once

// Dialog templates.
#define IDD_MAIN 129      // agreement page
#define IDD_LETTER 133    // data authorisation letter viewer
#define IDD_PROGRESS 135  // download and install progress page
#define IDD_SUCCESS 150   // success page
#define IDD_FAILURE 156   // failure page

// Controls.
#define IDC_PROGRESS_BAR 1004           // 135: msctls_progress32
#define IDC_AGREE_CHECK 1009            // 129: agreement check box
#define IDC_LETTER_LINK 1010            // 129: link text that opens the letter
#define IDC_LETTER_TEXT 1011            // 133: rich edit holding the letter
#define IDC_ACTION_BUTTON 1020          // 129 install, 150 finish, 156 close
#define IDC_INSTALLING_LABEL 1021       // 135: "installing, please wait"
#define IDC_REASON_NOT_INVOICE_PC 1022  // 156: failure reason 1
#define IDC_REASON_CLIENT_FAILED 1023   // 156: failure reason 2
#define IDC_REASON_NETWORK 1024         // 156: failure reason 3
#define IDC_REASON_VENDOR_FAILED 1025   // 156: failure reason 4
#define IDC_DOWNLOADING_LABEL 1027      // 135: "downloading"
#define IDC_CLOSE_BUTTON 1029           // 129: image button, created at run time
#define IDC_PERCENT_TEXT 1031           // 135: percent, then the dots

// Skin pictures, resource type "PNG".
#define IDB_SKIN_MAIN 166      // 600 x 360, page 129
#define IDB_SKIN_PROGRESS 167  // 600 x 360, page 135
#define IDB_SKIN_SUCCESS 168   // 600 x 360, page 150 (same bytes as 167)
#define IDB_SKIN_FAILURE 169   // 600 x 360, page 156
#define IDB_SKIN_LETTER 172    // 755 x 488, viewer 133
#define IDB_CLOSE_FACE 176     // 17 x 18, close button face

// The data authorisation letter, resource type "TXT" (RTF, code page 936).
#define IDR_LETTER 134

// Program icon and version block.
#define IDI_PAVONIX 100
#define IDV_VERSION 1
