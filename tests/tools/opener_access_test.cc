// Whether an opener may write a file: its credentials against the file's
// owner, group, mode and access ACL.
#include "protect/opener_access.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace orv {
namespace {

using tool::AclEntry;
using tool::Credentials;
using tool::MayWrite;

struct stat File(uid_t uid, gid_t gid, mode_t mode) {
  struct stat st {};
  st.st_uid = uid;
  st.st_gid = gid;
  st.st_mode = S_IFREG | mode;
  return st;
}

Credentials User(uid_t uid, gid_t gid, std::vector<gid_t> groups = {}) {
  Credentials who;
  who.fsuid = uid;
  who.fsgid = gid;
  who.groups = std::move(groups);
  return who;
}

TEST(OpenerAccessTest, TheStatusGivesTheFileSystemIdsGroupsAndTheOverride) {
  const auto who = tool::ParseStatus(
      "Name:\tcat\nUid:\t1000\t1001\t1002\t1003\nGid:\t50\t51\t52\t53\n"
      "Groups:\t7 8 \nCapEff:\t0000000000000002\n");
  ASSERT_TRUE(who);
  EXPECT_EQ(who->fsuid, 1003u);
  EXPECT_EQ(who->fsgid, 53u);
  EXPECT_EQ(who->groups, (std::vector<gid_t>{7, 8}));
  EXPECT_TRUE(who->dacOverride);
  const auto plain = tool::ParseStatus(
      "Uid:\t5\t5\t5\t5\nGid:\t5\t5\t5\t5\nGroups:\t\nCapEff:\t00000000a80425fd\n");
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->dacOverride) << "CAP_DAC_OVERRIDE is bit 1";
  EXPECT_TRUE(plain->groups.empty());
  EXPECT_FALSE(tool::ParseStatus("Uid:\t5\t5\t5\t5\nGroups:\t\nCapEff:\t0\n")) << "no Gid line";
  EXPECT_FALSE(tool::ParseStatus("Uid:\t5\t5\t5\tx\nGid:\t5\t5\t5\t5\nGroups:\t\nCapEff:\t0\n"));
}

TEST(OpenerAccessTest, OwnerGroupAndOthersAreCheckedInTheKernelsOrder) {
  const struct stat st = File(1000, 100, 0604);
  EXPECT_TRUE(MayWrite(User(1000, 1), st, std::nullopt));
  EXPECT_FALSE(MayWrite(User(2000, 100), st, std::nullopt)) << "group bits, not others'";
  EXPECT_FALSE(MayWrite(User(2000, 1, {100}), st, std::nullopt)) << "a supplementary group";
  EXPECT_FALSE(MayWrite(User(2000, 1), st, std::nullopt));
  EXPECT_TRUE(MayWrite(User(2000, 1), File(1000, 100, 0646), std::nullopt));
  // The owner's bits decide for the owner, even when others may write.
  EXPECT_FALSE(MayWrite(User(1000, 1), File(1000, 100, 0466), std::nullopt));

  Credentials root = User(0, 0);
  root.dacOverride = true;
  EXPECT_TRUE(MayWrite(root, File(1000, 100, 0400), std::nullopt));
  // Root of a user namespace overrides only for the ids it maps.
  root.uidMap = std::vector<tool::IdRange>{{1000, 1}};
  root.gidMap = std::vector<tool::IdRange>{{100, 1}};
  EXPECT_TRUE(MayWrite(root, File(1000, 100, 0400), std::nullopt));
  EXPECT_FALSE(MayWrite(root, File(1001, 100, 0400), std::nullopt));
  EXPECT_FALSE(MayWrite(root, File(1000, 101, 0400), std::nullopt));
}

std::string AclBytes(const std::vector<AclEntry>& entries) {
  std::string bytes(4 + 8 * entries.size(), '\0');
  const uint32_t version = 2;
  std::memcpy(bytes.data(), &version, 4);
  for (size_t i = 0; i < entries.size(); ++i) std::memcpy(&bytes[4 + 8 * i], &entries[i], 8);
  return bytes;
}

TEST(OpenerAccessTest, AnAccessAclDecidesWithItsMask) {
  // Owner rw, user 2000 rw, user 3000 r, group r, group 60 rw, mask rw, others r.
  const auto acl = tool::ParseAcl(AclBytes({{0x01, 6, 0},
                                            {0x02, 6, 2000},
                                            {0x02, 4, 3000},
                                            {0x04, 4, 0},
                                            {0x08, 6, 60},
                                            {0x10, 6, 0},
                                            {0x20, 4, 0}}));
  ASSERT_TRUE(acl);
  ASSERT_EQ(acl->size(), 7u);
  const struct stat st = File(1000, 100, 0664);
  EXPECT_TRUE(MayWrite(User(1000, 1), st, acl));
  EXPECT_TRUE(MayWrite(User(2000, 1), st, acl));
  EXPECT_FALSE(MayWrite(User(3000, 60), st, acl)) << "a named user's entry comes before groups";
  EXPECT_TRUE(MayWrite(User(4000, 1, {100, 60}), st, acl)) << "any matching group that grants";
  EXPECT_FALSE(MayWrite(User(4000, 100), st, acl)) << "in a group: others' entry is not asked";
  EXPECT_FALSE(MayWrite(User(4000, 1), st, acl));

  // A mask without write takes it from named users and groups, not the owner.
  auto masked = *acl;
  for (AclEntry& entry : masked) {
    if (entry.tag == 0x10) entry.perm = 4;
  }
  EXPECT_FALSE(MayWrite(User(2000, 1), st, masked));
  EXPECT_FALSE(MayWrite(User(4000, 60), st, masked));
  EXPECT_TRUE(MayWrite(User(1000, 1), st, masked));

  EXPECT_FALSE(tool::ParseAcl(AclBytes({{0x01, 6, 0}}).substr(0, 9))) << "a cut entry";
  std::string version3 = AclBytes({{0x01, 6, 0}});
  version3[0] = 3;
  EXPECT_FALSE(tool::ParseAcl(version3));
  EXPECT_TRUE(MayWrite(User(4000, 1), File(1000, 100, 0600), std::vector<AclEntry>{}))
      << "an ACL that cannot be read allows";
}

TEST(OpenerAccessTest, AnIdMapGivesTheOutsideRanges) {
  const auto map =
      tool::ParseIdMap("         0       1000          1\n         1     100000      65536\n");
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map[0].first, 1000u);
  EXPECT_EQ(map[0].count, 1u);
  EXPECT_EQ(map[1].first, 100000u);
  EXPECT_EQ(map[1].count, 65536u);
}

}  // namespace
}  // namespace orv
