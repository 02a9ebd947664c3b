#pragma once

// Identifiers of the program's resources: dialog templates, strings, the icon and the controls.
enum ResourceId : int {
    IDD_ABOUTBOX = 100,
    IDS_ABOUTBOX = 101,
    IDD_CLIENT_DIALOG = 102,
    IDP_SOCKETS_INIT_FAILED = 103,
    IDD_ENTRY_DIALOG = 105,
    IDD_JUDGE_DIALOG = 106,
    IDD_OMAKE_EDIT = 107,
    IDR_MAINFRAME = 128,
};

// Framework command values.
enum FrameworkId : int {
    IDOK = 1,
    IDCANCEL = 2,
    IDYES = 6,
    IDNO = 7,
    IDM_ABOUTBOX = 16,
    ID_HELP = 57670,
};

// Controls of the main window (template 102).
enum MainWindowControl : int {
    IDC_ADDRESS = 1000,
    IDC_PORT = 1001,
    IDC_CONNECT = 1002,
    IDC_HIDDEN_LIST = 1003,
    IDC_SEND_TEXT = 1004,
    IDC_SEND = 1005,
    IDC_DISCONNECT = 1006,
    IDC_RECEIVED = 1007,
    IDC_EXIT = 1008,
    IDC_NAME = 1009,
    IDC_SAVE = 1010,
    IDC_REGISTER_HIDDEN = 1011,
    IDC_EDIT_RULES = 1012,
    IDC_AUTHENTICATE_HIDDEN = 1013,
    IDC_HIDDEN_USER = 1014,
    IDC_HIDDEN_PASSWORD = 1015,
    IDC_STYLE_NONE = 1024,
    IDC_STYLE_JAYO = 1025,
    IDC_STYLE_NIIGATA = 1026,
    IDC_STYLE_DEARIMASU = 1027,
    IDC_STYLE_USER = 1033,
    // Not in the original window: TLS for the server of 1000 and 1001.
    IDC_TLS = 1036,
};

// Controls of the registration dialog (template 105).
enum EntryDialogControl : int {
    IDC_ENTRY_ID = 1016,
    IDC_ENTRY_PASSWORD = 1017,
    IDC_ENTRY_REGISTER = 1006,
    IDC_ENTRY_CANCEL = 1007,
};

// Controls of the authentication dialog (template 106).
enum JudgeDialogControl : int {
    IDC_JUDGE_ID = 1020,
    IDC_JUDGE_PASSWORD = 1021,
    IDC_JUDGE_AUTHENTICATE = 1006,
    IDC_JUDGE_CANCEL = 1008,
};

// Controls of the rule editor (template 107).
enum OmakeEditControl : int {
    IDC_OMAKE_REPLACED = 1028,
    IDC_OMAKE_REPLACEMENT = 1029,
    IDC_OMAKE_PREVIOUS = 1010,
    IDC_OMAKE_NEXT = 1032,
    IDC_OMAKE_REGISTER = 1031,
    IDC_OMAKE_DELETE = 1008,
    IDC_OMAKE_CLEAR = 1009,
    IDC_OMAKE_EXIT = 1007,
    IDC_OMAKE_LIST = 1034,
    IDC_OMAKE_HIDDEN_LIST = 1003,
    IDC_OMAKE_COUNT = 1035,
};
