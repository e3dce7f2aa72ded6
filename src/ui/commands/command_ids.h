// The ids of the menu and toolbar commands. The numbers are those the window's menus always had:
// the tests and the command table know the entries by them.
#pragma once

enum CommandId : int {
    CmdClearMemory = 40001,
    CmdNewDatabase = 40011,
    CmdOpenDatabase = 40012,
    CmdOpenRecent = 40017,
    CmdImportDatabase = 40013,
    CmdSettings = 40014,
    CmdSave = 40015,
    CmdSaveAs = 40016,
    CmdOpenDoorA = 40021,
    CmdOpenDoorB = 40022,
    CmdResetController = 40024,
    CmdNewKey = 40031,
    CmdEditKeys = 40032,
    CmdDeleteKeys = 40033,
    CmdCopyFromLog = 40034,
    CmdSynchronize = 40035,
    CmdAbout = 40041,
    CmdToolbar = 40051,
    CmdStatusbar = 40052,
    CmdLogWindow = 40053,
    CmdKeyList = 40054,
    CmdManual = 40082,
    CmdExit = 40083,

    // The key-list work: find, CSV exchange, backups, the presented key.
    CmdFindKeys = 40101,
    CmdExportKeysCsv = 40102,
    CmdExportSelectedCsv = 40103,
    CmdImportKeysCsv = 40104,
    CmdExportLogCsv = 40105,
    CmdRestoreBackup = 40106,
    CmdFollowPresentedKey = 40107,
    CmdExpiringKeys = 40108,
    CmdCompareWithController = 40109,
    CmdVerifyAfterSync = 40110,
    CmdHistory = 40111,
    CmdKeyUsage = 40112,
};
