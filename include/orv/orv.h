/*
 * Orv: file-version backup engine, exported interface.
 *
 * The host loads libOrv.so, configures it (ChangeConfigure), starts it, reports
 * file-system activity one event at a time (NotifyEvent), reads the catalog of
 * editions through the query exports, and stops it. This header compiles as C11
 * and as C++. Every record that crosses the interface has a fixed layout, checked
 * below with static assertions; text is UTF-16 (char16_t) terminated by a 0 unit.
 */
#ifndef ORV_ORV_H_
#define ORV_ORV_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define ORV_STATIC_ASSERT static_assert
#else
#include <uchar.h>
#define ORV_STATIC_ASSERT _Static_assert
#endif

#if defined(__GNUC__)
#define ORV_EXPORT __attribute__((visibility("default")))
#else
#define ORV_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes ------------------------------------------------------- */

#define ENG_OK ((uint32_t)0)
#define ENG_E_INVALID_ARGUMENT ((uint32_t)0x80010001u) /* a required pointer is null */
#define ENG_E_BUFFER_TOO_SMALL ((uint32_t)0x80010002u) /* needed size written back */
#define ENG_E_WRONG_STATE ((uint32_t)0x80010007u)      /* not allowed in this state */
#define ENG_E_OUT_OF_MEMORY ((uint32_t)0x8007000Eu)    /* memory ran out; nothing changed */

/* ---- Engine states ------------------------------------------------------ */

#define STATE_UNINITIALIZED ((uint32_t)0)
#define STATE_INITIALIZED ((uint32_t)1)
#define STATE_STARTED ((uint32_t)2)
#define STATE_STOPPED ((uint32_t)3)

/* ---- Configuration ------------------------------------------------------ */

typedef uint32_t ConfigItem;
#define CONFIG_HOST_VALUE ((ConfigItem)0)       /* uint32_t, kept for the host */
#define CONFIG_BACKUP_STORE ((ConfigItem)1)     /* string: catalog and copies */
#define CONFIG_LOG_LEVEL ((ConfigItem)2)        /* uint32_t: lowest level written */
#define CONFIG_LOG_DIRECTORY ((ConfigItem)3)    /* string: where "orv.log" lives */
#define CONFIG_POLICY_DIRECTORY ((ConfigItem)4) /* string: the policy documents */

/*
 * For a string item. ChangeConfigure reads only Buffer (the new value).
 * QueryConfigure writes into Buffer; *BufferSize is its capacity in characters,
 * terminator included, and receives the capacity needed when it is too small.
 */
typedef struct ConfigStringBuffer {
  char16_t* Buffer;
  uint64_t* BufferSize;
} ConfigStringBuffer;

/* ---- File events -------------------------------------------------------- */

#define RECORD_TYPE_FILE ((uint32_t)8)

#define FILE_OP_OPEN ((uint32_t)1)
#define FILE_OP_COMMIT ((uint32_t)2)
#define FILE_OP_CLOSE ((uint32_t)4)
#define FILE_OP_RENAME ((uint32_t)6)
#define FILE_OP_DELETE ((uint32_t)8)

/* Access-mask bits of an open that the engine looks at. */
#define ORV_FILE_WRITE_DATA ((uint32_t)0x00000002u)
#define ORV_FILE_APPEND_DATA ((uint32_t)0x00000004u)
#define ORV_FILE_WRITE_EA ((uint32_t)0x00000010u)
#define ORV_DELETE ((uint32_t)0x00010000u)
#define ORV_SYNCHRONIZE ((uint32_t)0x00100000u)
#define ORV_GENERIC_WRITE ((uint32_t)0x40000000u)
/* Create-option bit of an open: the file goes away when it is closed. */
#define ORV_FILE_DELETE_ON_CLOSE ((uint32_t)0x00001000u)
/* CloseFlags bit of a close: the file was changed while it was open. */
#define ORV_CLOSE_FLAG_CHANGED ((uint8_t)0x01u)

/* Kinds of edition, as stored in the catalog. */
#define EDITION_MODIFY ((uint32_t)2)
#define EDITION_DELETE ((uint32_t)3)
#define EDITION_RENAME ((uint32_t)4)

/* Local time of an event, field for field a Windows SYSTEMTIME. */
typedef struct FileEventTime {
  uint16_t Year;
  uint16_t Month;
  uint16_t DayOfWeek;
  uint16_t Day;
  uint16_t Hour;
  uint16_t Minute;
  uint16_t Second;
  uint16_t Milliseconds;
} FileEventTime;

/*
 * One file-system event. The engine reads only the named fields, and only
 * those the operation needs; the reserved bytes belong to the host. Paths use
 * "/" as separator; an empty TargetPath means none.
 */
typedef struct FileEventRecord {
  uint8_t Reserved0[12];
  uint32_t RecordType; /* RECORD_TYPE_FILE; any other value is ignored */
  uint8_t Reserved1[4];
  FileEventTime EventTime;
  uint8_t Reserved2[108];
  const char16_t* FilePath;
  uint32_t DesiredAccess; /* FILE_OP_OPEN only */
  uint32_t CreateOptions; /* FILE_OP_OPEN only: ORV_FILE_DELETE_ON_CLOSE */
  uint8_t Reserved3[8];
  uint32_t FileOperation; /* FILE_OP_* */
  uint8_t Reserved4[44];
  uint8_t CloseFlags; /* FILE_OP_CLOSE only: ORV_CLOSE_FLAG_CHANGED */
  uint8_t Reserved5[23];
  const char16_t* TargetPath; /* OPEN: linked file, empty or null; RENAME: the new name */
} FileEventRecord;

/* ---- Query records ------------------------------------------------------ */

typedef struct BackupFileInfo {
  uint32_t ID;
  char16_t FileName[262]; /* terminated; longer names are cut */
} BackupFileInfo;

typedef struct FileEditionInfo {
  int32_t EditionID;
  int32_t FileID;
  int32_t TimeStamp; /* seconds since 1970-01-01 00:00:00 UTC */
  int32_t LinkFileID;
  int32_t Size;
  int32_t Operation;
  uint8_t Sha1[20];
  uint8_t Reserved0[32];
  char16_t BackupName[262];
  uint8_t Reserved1[2620];
  char16_t Signature[262];
} FileEditionInfo;

/* ---- Layout checks: other programs depend on every offset ---------------- */

ORV_STATIC_ASSERT(sizeof(char16_t) == 2, "UTF-16 code unit");
ORV_STATIC_ASSERT(sizeof(void*) == 8, "64-bit interface");
ORV_STATIC_ASSERT(sizeof(ConfigStringBuffer) == 16, "ConfigStringBuffer size");
ORV_STATIC_ASSERT(offsetof(ConfigStringBuffer, BufferSize) == 8, "BufferSize");
ORV_STATIC_ASSERT(sizeof(FileEventTime) == 16, "FileEventTime size");
ORV_STATIC_ASSERT(sizeof(FileEventRecord) == 248, "FileEventRecord size");
ORV_STATIC_ASSERT(offsetof(FileEventRecord, RecordType) == 12, "RecordType");
ORV_STATIC_ASSERT(offsetof(FileEventRecord, EventTime) == 20, "EventTime");
ORV_STATIC_ASSERT(offsetof(FileEventRecord, FilePath) == 144, "FilePath");
ORV_STATIC_ASSERT(offsetof(FileEventRecord, DesiredAccess) == 152, "DesiredAccess");
ORV_STATIC_ASSERT(offsetof(FileEventRecord, CreateOptions) == 156, "CreateOptions");
ORV_STATIC_ASSERT(offsetof(FileEventRecord, FileOperation) == 168, "FileOperation");
ORV_STATIC_ASSERT(offsetof(FileEventRecord, CloseFlags) == 216, "CloseFlags");
ORV_STATIC_ASSERT(offsetof(FileEventRecord, TargetPath) == 240, "TargetPath");
ORV_STATIC_ASSERT(sizeof(BackupFileInfo) == 528, "BackupFileInfo size");
ORV_STATIC_ASSERT(offsetof(BackupFileInfo, FileName) == 4, "FileName");
ORV_STATIC_ASSERT(sizeof(FileEditionInfo) == 3744, "FileEditionInfo size");
ORV_STATIC_ASSERT(offsetof(FileEditionInfo, FileID) == 4, "FileID");
ORV_STATIC_ASSERT(offsetof(FileEditionInfo, TimeStamp) == 8, "TimeStamp");
ORV_STATIC_ASSERT(offsetof(FileEditionInfo, LinkFileID) == 12, "LinkFileID");
ORV_STATIC_ASSERT(offsetof(FileEditionInfo, Size) == 16, "Size");
ORV_STATIC_ASSERT(offsetof(FileEditionInfo, Operation) == 20, "Operation");
ORV_STATIC_ASSERT(offsetof(FileEditionInfo, Sha1) == 24, "Sha1");
ORV_STATIC_ASSERT(offsetof(FileEditionInfo, BackupName) == 76, "BackupName");
ORV_STATIC_ASSERT(offsetof(FileEditionInfo, Signature) == 3220, "Signature");

/* ---- Lifecycle ---------------------------------------------------------- */
/* Initialize -> ChangeConfigure... -> Start -> events and queries -> Stop -> Finalize. */

ORV_EXPORT uint32_t Initialize(void);
ORV_EXPORT uint32_t Start(void);
ORV_EXPORT uint32_t Stop(void);
ORV_EXPORT uint32_t Finalize(void);

/* ---- Configuration (any state; takes effect at the next Start) ----------- */

/* value: a uint32_t for items 0 and 2, a ConfigStringBuffer for items 1, 3, 4. */
ORV_EXPORT uint32_t ChangeConfigure(uint32_t item, void* value);
ORV_EXPORT uint32_t QueryConfigure(uint32_t item, void* value);

/* ---- Events ------------------------------------------------------------- */

ORV_EXPORT uint32_t NotifyEvent(const FileEventRecord* record);

/* ---- Catalog queries ---------------------------------------------------- */
/*
** The query exports read the catalog of the store that Start placed (or that
** OrvOpenStoreReadOnly opened). They may be called from any thread, each
** thread on its own catalog connection, but never while Stop, Finalize or
** OrvCloseStore runs. They never raise and never report why they failed: a
** store that is not placed, a missing pointer and a failure inside all give
** the documented empty answer (0, or a null handle with the record all zero).
** Names are compared as stored (Linux file names are case-sensitive); a
** pattern is an SQL LIKE pattern on a file's full path: "%" any text, "_" any
** one character, ASCII letters match in either case; an empty pattern matches
** no file.
*/

/* Opens the calling thread's connection now (it is otherwise opened on first
** use). 1 when the thread has a connection to a placed catalog, else 0. */
ORV_EXPORT uint32_t ConnectBackupStorage(void);
/* Closes the calling thread's connection; a later query opens a new one on
** the file then at the catalog's path. */
ORV_EXPORT void DisconnectBackupStorage(void);
/* The number of protected files (BackupFile rows); 0 on failure. */
ORV_EXPORT uint32_t GetBackupFileCount(void);
/* Lists the protected files in the catalog's order: fills *info with the
** first (FileName cut to 261 characters and terminated) and returns a find
** handle, or null (with *info all zero) when there is none, info is null or
** on failure. The caller owns the handle until FindBackupFileClose. While a
** handle is open its connection holds a read lock on the catalog. */
ORV_EXPORT void* FindFirstBackupFile(BackupFileInfo* info);
/* Fills *info with the next file: 1, or 0 at the end, on a null argument or on
** failure (*info is then all zero). */
ORV_EXPORT uint32_t FindNextBackupFile(void* handle, BackupFileInfo* info);
/* Releases a find handle of either enumeration; null is ignored. A handle kept
** across Stop may still be closed after it. */
ORV_EXPORT void FindBackupFileClose(void* handle);
/* The same function as FindBackupFileClose. */
ORV_EXPORT void FindFileEditionClose(void* handle);

/* The number of editions whose file's path is like pattern (every edition
** when pattern is null); 0 on failure. */
ORV_EXPORT uint32_t GetFileEditionCount(const char16_t* pattern);
/* FindFirstFileEditionEx(pattern, 1, NULL, NULL, info). */
ORV_EXPORT void* FindFirstFileEdition(const char16_t* pattern, FileEditionInfo* info);
/* Lists the editions whose file's path is like pattern (every edition when
** null), by time stamp, newest first when newestFirst is non-zero, between the
** inclusive bounds *from and *to (seconds since 1970; either may be null).
** Fills *info with the first (EditionID, FileID, TimeStamp, LinkFileID, Size,
** Sha1 (zero when not digested yet), BackupName; Operation and Signature stay
** zero: see OrvGetEditionDetails) and returns a find handle, or null (with
** *info all zero) when nothing matches, info is null or on failure. Editions
** of the same second come in no defined order. On Linux a plain path also
** lists the files whose names differ from it only in case: keep the editions
** whose FileID is the file's (OrvFindBackupFileId). */
ORV_EXPORT void* FindFirstFileEditionEx(const char16_t* pattern, uint32_t newestFirst,
                                        const int32_t* from, const int32_t* to,
                                        FileEditionInfo* info);
/* Fills *info with the next edition: 1, or 0 at the end, on a null argument or
** on failure (*info is then all zero). */
ORV_EXPORT uint32_t FindNextFileEdition(void* handle, FileEditionInfo* info);
/* Writes into buffer (capacity in characters, terminator included) the whole
** path where the edition's content can be read: its copy in the store's
** snapshot directory or, for an edition linked to another file (a rename),
** the next later edition's content of that file, else that file as it is now.
** 1 when written; 0, with the buffer untouched, when the edition or its
** content is unknown, the buffer is null, or the whole path does not fit. The
** path names what the catalog says; whether a file is there is not checked. */
ORV_EXPORT uint32_t GetFileEdition(uint32_t editionId, uint32_t capacity, char16_t* buffer);
ORV_EXPORT void FreeFileEdition(FileEditionInfo* info);   /* does nothing */
ORV_EXPORT uint32_t RestoreByEdition(uint32_t editionId); /* returns 1, restores nothing */

/* ---- Extensions for Orv's own tools -------------------------------------- */
/* Not part of the interface above; hosts that only use that one may ignore them. */

#define ORV_TASK_DIGEST ((uint32_t)0x1)     /* record digests, drop duplicate editions */
#define ORV_TASK_SIGNATURES ((uint32_t)0x2) /* record signers, prune behind signed editions */
#define ORV_TASK_RETENTION ((uint32_t)0x4)  /* keep the store within its quota */

/* Runs the given tasks now, on the engine's maintenance thread (never at the
** same time as its scheduled runs), in the engine's order (digest, signatures,
** retention), and returns when they are done. ENG_E_WRONG_STATE unless the
** engine is started; ENG_E_INVALID_ARGUMENT for no known task. */
ORV_EXPORT uint32_t OrvRunMaintenance(uint32_t tasks);

/* Sets the retention quota, in bytes (default 1,677,721); any state, used from
** the next retention run on. ENG_E_INVALID_ARGUMENT for 0. */
ORV_EXPORT uint32_t OrvSetRetentionQuota(uint64_t bytes);

/* As NotifyEvent, for an event whose file the host holds open: descriptor is
** a readable descriptor of the file record->FilePath names, lent for this call
** (the engine neither closes it nor leaves its offset moved). The copy an open
** makes reads the descriptor and never opens FilePath again, so a name swapped
** between the host's open and the copy cannot put another file's content into
** the edition; FilePath still names it. Anything but a regular file is not
** copied. Other operations are handled as NotifyEvent handles them. On
** Windows descriptor is a file HANDLE opened with read access, passed as
** HandleToLong(handle) (kernel handles fit in 32 bits); its file pointer is
** put back too.
** ENG_E_WRONG_STATE unless started; ENG_E_INVALID_ARGUMENT for a null record or
** a negative descriptor; ENG_OK otherwise, whatever became of the event. */
ORV_EXPORT uint32_t OrvNotifyOpenedFile(const FileEventRecord* record, int descriptor);

/* Why OrvNotifyKeptFile recorded nothing (beside the codes of the read-only store below). */
#define ORV_E_NOT_PROTECTED ((uint32_t)0x80010115u) /* the policy does not protect the file */
#define ORV_E_NOT_KEPT ((uint32_t)0x80010116u)      /* its kept content could not be taken */

/* The host kept, in a file of its own, the content a file had just before it
** was deleted or replaced (a hard link to it made while it still had its name,
** say). record->FilePath names that file; record->FileOperation says what became
** of it: FILE_OP_DELETE, it was removed (an edition of kind EDITION_DELETE), or
** FILE_OP_RENAME, another file was renamed over it (an edition of kind
** EDITION_MODIFY of FilePath; TargetPath is not read). The policy judges FilePath as it
** judges an open. keptFile names the kept file; the engine takes its content into the
** store under the usual snapshot name: a hard link when keptFile lies on the store's
** file system and keptFile is its only name (nothing else can change it later), a
** copy otherwise (also for a file with a set-id or sticky bit, whose bits a link
** would keep). keptFile is never followed through a symbolic link: anything but a
** regular file cannot be taken. The engine never removes or changes keptFile: the
** host does when the call returns. The edition is queued for the catalog at once:
** the deletion or replacement already happened.
** ENG_OK when the edition was queued; ORV_E_NOT_PROTECTED when the policy does not protect
** FilePath (nothing done); ORV_E_NOT_KEPT when the content could not be taken (logged why),
** also when a fault inside the engine lost the event (logged); ENG_E_WRONG_STATE unless
** started; ENG_E_INVALID_ARGUMENT for a null record, FilePath or keptFile, a RecordType
** but RECORD_TYPE_FILE, or another operation. */
ORV_EXPORT uint32_t OrvNotifyKeptFile(const FileEventRecord* record, const char16_t* keptFile);

/* ---- Extensions: reading a store without changing it --------------------- */

/* Why OrvOpenStoreReadOnly could not open a store. */
#define ORV_E_NO_CATALOG ((uint32_t)0x80010110u)         /* no catalog there (or no store) */
#define ORV_E_ACCESS_DENIED ((uint32_t)0x80010111u)      /* this process may not read it */
#define ORV_E_NOT_A_FILE ((uint32_t)0x80010112u)         /* no regular file at its path */
#define ORV_E_UNREADABLE_CATALOG ((uint32_t)0x80010113u) /* not a catalog SQLite can read */
#define ORV_E_CATALOG_BUSY ((uint32_t)0x80010114u)       /* locked by another process */

/*
** Connects the query exports (and the extensions below) to the existing store
** at store, a directory path, for reading only. Nothing in the store is
** created, repaired, renamed, re-moded or written: the catalog is opened
** read-only (so a process writing the store, a live-protection daemon, goes
** on undisturbed), no log is set up, and neither capture nor maintenance
** starts. It works in any state but started, without Initialize; the store
** stays open until OrvCloseStore, Start or Finalize. A store opened before is
** closed first.
**
** Returns ENG_OK when the catalog could be read. Otherwise nothing is open
** and the result says why: ENG_E_INVALID_ARGUMENT (store null or empty),
** ENG_E_WRONG_STATE (the engine is started), ORV_E_NO_CATALOG,
** ORV_E_ACCESS_DENIED, ORV_E_NOT_A_FILE, ORV_E_UNREADABLE_CATALOG (garbage, a
** damaged file, or another database), ORV_E_CATALOG_BUSY; ENG_E_OUT_OF_MEMORY.
** Call it from one thread while no query runs.
*/
ORV_EXPORT uint32_t OrvOpenStoreReadOnly(const char16_t* store);

/* Closes the store OrvOpenStoreReadOnly opened (every thread's connection;
** find handles still open may be closed later). ENG_OK, also when none was
** open; ENG_E_WRONG_STATE while the engine is started. Not while a query runs. */
ORV_EXPORT uint32_t OrvCloseStore(void);

/* What a store holds, filled by OrvGetStoreInfo. */
typedef struct OrvStoreInfo {
  uint64_t Files;        /* protected files (BackupFile rows) */
  uint64_t Editions;     /* editions (Edition rows) */
  uint64_t Undigested;   /* editions whose digest is not recorded yet */
  uint64_t Unverified;   /* editions whose signer is not recorded yet */
  uint64_t Copies;       /* regular files in the snapshot directory */
  uint64_t CopyBytes;    /* their sizes added up */
  uint64_t CatalogBytes; /* size of the catalog file */
  uint32_t Flags;        /* ORV_STORE_* */
  uint32_t Reserved;     /* zero */
} OrvStoreInfo;
ORV_STATIC_ASSERT(sizeof(OrvStoreInfo) == 64, "OrvStoreInfo size");

#define ORV_STORE_READ_ONLY ((uint32_t)0x1)    /* opened by OrvOpenStoreReadOnly */
#define ORV_STORE_NO_SNAPSHOTS ((uint32_t)0x2) /* the snapshot directory is missing */

/* Fills *info (zeroed first) with the counts of the placed store, read in one
** catalog transaction, and the copies in its snapshot directory as listed
** then. 1 on success; 0 when no store is placed, info is null or on failure.
** Any thread, like the query exports. */
ORV_EXPORT uint32_t OrvGetStoreInfo(OrvStoreInfo* info);

/* Fills *info (zeroed first) with every column of one edition that the
** record carries: what the listing fills, plus Operation (EDITION_*) and
** Signature (the signer, "nosignature", or empty when not verified yet; cut
** to 261 characters). 1 when the edition exists; 0 otherwise, or when info
** is null or on failure. Any thread, like the query exports. */
ORV_EXPORT uint32_t OrvGetEditionDetails(uint32_t editionId, FileEditionInfo* info);

/* The ID of the file stored under exactly this path (compared as stored:
** "%" and "_" stand for themselves, case counts); 0 when there is none, path
** is null or on failure. */
ORV_EXPORT uint32_t OrvFindBackupFileId(const char16_t* path);

/* The whole stored path of file fileId, never cut: returns its length in
** characters (terminator excluded) and, when capacity is greater than that
** length, writes it with its terminator into buffer. 0, writing nothing, when
** there is no such file or on failure. Call with capacity 0 to learn the
** length. */
ORV_EXPORT uint32_t OrvGetBackupFileName(uint32_t fileId, uint32_t capacity, char16_t* buffer);

/* Like FindFirstBackupFile, restricted to the files whose path is like
** pattern (every file when null) and in the order of their paths; continue
** with FindNextBackupFile, close with FindBackupFileClose. */
ORV_EXPORT void* OrvFindFirstBackupFileEx(const char16_t* pattern, BackupFileInfo* info);

/* The number of editions of file fileId; 0 when none or on failure. */
ORV_EXPORT uint32_t OrvGetFileEditionCountById(uint32_t fileId);

/* Lists the editions of exactly the file fileId, by time stamp and, within
** one second, by EditionID (the order in which they were recorded), newest
** first when newestFirst is non-zero, between the inclusive bounds *from and
** *to (either may be null). Each record is filled as OrvGetEditionDetails
** fills it. Returns a find handle positioned on the first (in *info), or null
** (with *info all zero) when there is none, info is null or on failure;
** continue with OrvFindNextFileEditionOf, close with FindFileEditionClose. */
ORV_EXPORT void* OrvFindFirstFileEditionOf(uint32_t fileId, uint32_t newestFirst,
                                           const int32_t* from, const int32_t* to,
                                           FileEditionInfo* info);
/* Fills *info with the next edition of such a listing: 1, or 0 at the end, on
** a null argument or on failure (*info is then all zero). Only for a handle
** of OrvFindFirstFileEditionOf. */
ORV_EXPORT uint32_t OrvFindNextFileEditionOf(void* handle, FileEditionInfo* info);

/* Lists the editions of every file, oldest first: by time stamp and, within
** one second, by EditionID, between the inclusive bounds *from and *to (either
** may be null); one pass, for a question about many files at once. Each record
** is filled as OrvGetEditionDetails fills it. Returns a find handle positioned
** on the first (in *info), or null (with *info all zero) when there is none,
** info is null or on failure; continue with OrvFindNextFileEditionOf, close
** with FindFileEditionClose. */
ORV_EXPORT void* OrvFindFirstEditionBetween(const int32_t* from, const int32_t* to,
                                            FileEditionInfo* info);

/* Begins a read transaction on the calling thread's connection: until
** OrvEndRead, every query of this thread sees the catalog as it was at its
** first read, and a long series of lookups (a listing completed edition by
** edition) runs without taking and releasing the catalog's lock for each.
** A process that writes the store waits meanwhile (at most its own busy
** wait), so keep it short. 1 on success; 0 when no store is placed, a read
** transaction is already open on this thread, or on failure. */
ORV_EXPORT uint32_t OrvBeginRead(void);

/* Ends the calling thread's read transaction; nothing when there is none.
** Find handles still open stay valid. */
ORV_EXPORT void OrvEndRead(void);

#ifdef __cplusplus
}
#endif

#endif /* ORV_ORV_H_ */
