// The descriptor that follows a renamed suite.
#include "app/rename/jad_descriptor.h"

#include <gtest/gtest.h>

namespace qmx {
namespace {

const char kSigned[] =
    "MIDlet-Name: Old\r\n"
    "MIDlet-Jar-URL: game.jar\r\n"
    "MIDlet-Jar-Size: 1\r\n"
    "MIDlet-Jar-RSA-SHA1: abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwx\r\n"
    " yz0123456789\r\n"
    "MIDlet-Certificate-1-1: MIIBmjCCAQOgAwIBAgIEZm9vYjANBgkqhkiG9w0BAQUFADAQMQ4wDAYDVQQD\r\n"
    " EwVIZWxsbzAeFw0yNjEyMDgwMDAwMDBaFw0zNjEyMDUwMDAwMDBa\r\n"
    "MIDlet-Certificate-1-2: MIIB\r\n"
    "MIDlet-Permissions: javax.microedition.io.Connector.http\r\n"
    "MIDlet-Vendor: V  \r\n";

TEST(JadDescriptor, UnsignDropsTheSignatureAndItsContinuationLines) {
  TDescriptorEdit edit;
  edit.NewName = "新名字";
  edit.JarSize = 1234;
  edit.JarFileName = "new.jar";
  edit.Unsign = true;
  bool signedSuite = false;
  EXPECT_EQ(RewriteDescriptor(kSigned, edit, signedSuite),
            "MIDlet-Name: 新名字\r\n"
            "MIDlet-Jar-URL: new.jar\r\n"
            "MIDlet-Jar-Size: 1234\r\n"
            "MIDlet-Permissions: javax.microedition.io.Connector.http\r\n"
            "MIDlet-Vendor: V  \r\n");
  EXPECT_TRUE(signedSuite);

  // Without it only name, size and URL change.
  edit.Unsign = false;
  signedSuite = false;
  const std::string kept = RewriteDescriptor(kSigned, edit, signedSuite);
  EXPECT_TRUE(signedSuite);
  EXPECT_NE(kept.find(" yz0123456789\r\nMIDlet-Certificate-1-1: MIIBmjCC"), std::string::npos);
  EXPECT_EQ(kept.size(), std::string(kSigned).size() + 8);
}

TEST(JadDescriptor, LfLinesAndAnUrlWithAPathStay) {
  TDescriptorEdit edit;
  edit.NewName = "N";
  edit.JarSize = 7;
  edit.JarFileName = "n.jar";
  bool signedSuite = false;
  EXPECT_EQ(RewriteDescriptor("midlet-name: O\n continued\nMIDlet-Jar-URL: http://h/g.jar\n"
                              "MIDlet-Jar-Size: 99",
                              edit, signedSuite),
            "midlet-name: N\nMIDlet-Jar-URL: http://h/g.jar\nMIDlet-Jar-Size: 7");
  EXPECT_FALSE(signedSuite);
}

}  // namespace
}  // namespace qmx
