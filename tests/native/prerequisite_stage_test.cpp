#include "setup/prerequisite_stage.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

TEST(PrerequisiteStage, SpacesToDotsReplacesEverySpaceOnly) {
  EXPECT_EQ("1.5.0.113805", SpacesToDots("1.5.0 113805"));
  EXPECT_EQ("..a..", SpacesToDots("  a  "));
  EXPECT_EQ("1.5.0.113805", SpacesToDots("1.5.0.113805"));
  EXPECT_EQ("", SpacesToDots(""));
}

TEST(PrerequisiteStage, MarkerCandidatesInTestOrder) {
  const std::vector<std::string> expected = {
      "C:\\Program Files (x86)\\Brenk\\Installers\\Nerim\\1.5.0 113805\\optLS",
      "C:\\Program Files (x86)\\Brenk\\Installers\\Nerim\\1.5.0.113805\\optLS",
      "C:\\Program Files\\Brenk\\Installers\\Nerim\\1.5.0 113805\\optLS",
      "C:\\Program Files\\Brenk\\Installers\\Nerim\\1.5.0.113805\\optLS",
  };
  EXPECT_EQ(expected, MarkerCandidates("C", "Nerim", "1.5.0 113805", "optLS"));
}

TEST(PrerequisiteStage, MarkerCandidatesRepeatWhenVersionHasNoSpace) {
  std::vector<std::string> candidates = MarkerCandidates("D", "Nerim", "1.5.0.113805", "optDD");
  ASSERT_EQ(4u, candidates.size());
  EXPECT_EQ("D:\\Program Files (x86)\\Brenk\\Installers\\Nerim\\1.5.0.113805\\optDD",
            candidates[0]);
  EXPECT_EQ(candidates[0], candidates[1]);
  EXPECT_EQ("D:\\Program Files\\Brenk\\Installers\\Nerim\\1.5.0.113805\\optDD", candidates[2]);
  EXPECT_EQ(candidates[2], candidates[3]);
}

}  // namespace
