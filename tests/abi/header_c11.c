/* Compiled as strict C11: the public header must serve C hosts. */
#include <orv/orv.h>

/* Used by the host tests, so that the C view of the layout is checked at run
 * time too. */
uint32_t OrvCHeaderRecordSizes(uint32_t which) {
  switch (which) {
    case 0:
      return (uint32_t)sizeof(FileEventRecord);
    case 1:
      return (uint32_t)sizeof(BackupFileInfo);
    case 2:
      return (uint32_t)sizeof(FileEditionInfo);
    case 3:
      return (uint32_t)offsetof(FileEventRecord, TargetPath);
    default:
      return (uint32_t)sizeof(ConfigStringBuffer);
  }
}
