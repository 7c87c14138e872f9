#include "catalog/schema.h"

namespace orv {

// Run in this order, each on its own, with no enclosing transaction. The runs of
// blanks are part of the texts: catalogs made by earlier versions hold them.
const std::array<const char*, 8> kCatalogSchema = {
    "CREATE TABLE [BackupFile] (                                [ID] INTEGER  NOT NULL PRIMARY KEY "
    "AUTOINCREMENT,           [FileName] VARCHAR(300)  UNIQUE NOT NULL);",
    "CREATE TABLE [Edition] (                                   [ID] INTEGER  PRIMARY KEY "
    "AUTOINCREMENT NOT NULL,           [FileID] INTEGER  NOT NULL,                                 "
    "[TimeStamp] INTEGER DEFAULT '0' NULL,                       [LinkFileID] INTEGER DEFAULT '0' "
    "NULL,                      [Size] INTEGER DEFAULT '0' NULL,                            "
    "[BackupName] VARCHAR(50)  NULL,                             [SubjectFileID] INTEGER DEFAULT "
    "'0' NULL,                   [Operation] INTEGER DEFAULT '0' NULL,                       "
    "[Signature] VARCHAR(300)  NULL,                             [Sha1] BLOB  NULL);",
    "CREATE UNIQUE INDEX [Index_BackupFile_FileName]            ON [BackupFile]([FileName]  ASC);",
    "CREATE INDEX [Index_Edition_FileID]                        ON [Edition]([FileID]  ASC);",
    "CREATE INDEX [Index_Edition_TimeStamp]                     ON [Edition]([TimeStamp]  ASC);",
    "CREATE INDEX [Index_Edition_LinkFileID]                    ON [Edition]([LinkFileID]  ASC);",
    "CREATE INDEX [Index_Edition_BackupName]                    ON [Edition]([BackupName]  ASC);",
    "CREATE VIEW [View_FileEdition] AS                          Select BackupFile.ID  as FileID,   "
    "                         BackupFile.FileName   as FileName,                          "
    "Edition.ID            as EditionID,                         Edition.TimeStamp     as "
    "TimeStamp,                         Edition.Size          as Size,                             "
    " Edition.BackupName    as BackupName,                        Edition.LinkFileID    as "
    "LinkFileID,                        Edition.SubjectFileID as SubjectFileID,                    "
    " Edition.Operation     as Operation,                         Edition.Signature     as "
    "Signature,                         Edition.Sha1          as Sha1                              "
    " From  Edition, BackupFile                                   Where Edition.FileID == "
    "BackupFile.ID;",
};

const std::array<const char*, 1> kCatalogAddedIndexes = {
    "CREATE INDEX IF NOT EXISTS [Index_BackupFile_FileName_NoCase] ON [BackupFile]([FileName] "
    "COLLATE NOCASE);",
};

const char* const kSchemaProbe = "Select ID From BackupFile Where ID == 0";

}  // namespace orv
