// Anchor of the portable driver-setup library; the rules live in the files named for them.
namespace tamsel::setup {}
