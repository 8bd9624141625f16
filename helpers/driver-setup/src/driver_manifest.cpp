// The manifest compiled into tamsel_driver_setup: the 31 files of the VB-CABLE package and
// their SHA-256 digests. It is a source of each program rather than of a library, so a program
// always carries exactly one manifest. The size bound that goes with it, MAX_PACKAGE_FILE_BYTES
// (64 MiB, far above the largest of these files), stands beside DRIVER_MANIFEST in manifest.hpp.
//
// Test builds of the program (never the shipped one) define TAMSEL_TEST_DRIVER_MANIFEST as the
// path of a generated file holding the manifest text of a generated test package, as one string
// literal; everything else about such a program is the shipped program's code.
#include "manifest.hpp"

namespace tamsel::setup {

namespace {
#if defined(TAMSEL_TEST_DRIVER_MANIFEST)
constexpr char MANIFEST_TEXT[] =
#include TAMSEL_TEST_DRIVER_MANIFEST
    ;
#else
constexpr char MANIFEST_TEXT[] =
    "{\r\n"
    "  \"pin_in.ico\": \"934865449455103c1c5997d8220acd160c3891f8a870f8e745b743d12681ac42\",\r\n"
    "  \"pin_out.ico\": \"e8728a811e1f1af7d2ba31f77e47d449d5bba091e3e89a0df325ac7a3e67652c\",\r\n"
    "  \"readme.txt\": \"f865f3e78e37006d48e56c93f51eff4ca79acda9969854400d79bfa3db38a8d5\",\r\n"
    "  \"vbaudio_cable_2003.cat\": \"23a10e3bcd6ffe0de6d3d67830be4c447724b3299e13e954dd6bd2257cf55da1\",\r\n"
    "  \"vbaudio_cable_2003.sys\": \"9650e20c38429d4680a7e603ecbe6601914ec4c94f8473112f21515bf53b84cf\",\r\n"
    "  \"vbaudio_cable_vista.cat\": \"810b30193a400b1559302c23f81ef8aaadf038b3caf3aff9bf200b59688a2def\",\r\n"
    "  \"vbaudio_cable_vista.sys\": \"8b02c26313b75ceb8fb9bd16b6b167cf70d7f3bc977dfc1986c0859f8c72b49f\",\r\n"
    "  \"vbaudio_cable_win7.cat\": \"1c38afacf115818c925bc26faf216e3563e85bbc4d6d793e5f76f2aa670d08e7\",\r\n"
    "  \"vbaudio_cable_win7.sys\": \"d047e3ee66e3ee023e598232ea22aa28dbb39adeabe818adfb2a72ab738df0b9\",\r\n"
    "  \"vbaudio_cable_xp.cat\": \"51434ebbda13caf3c7617ef3035126baacca3e523feaf6828b398d52503d70d2\",\r\n"
    "  \"vbaudio_cable_xp.sys\": \"9f9bc80a96cc94c761887749e51d9b4fb7ee6741ce624b8b2f9f85cd2e3fb02e\",\r\n"
    "  \"vbaudio_cable64_2003.cat\": \"70f88e34c857c999367eb5b0303e23f5676b15a79ed4054f374749232baa0e3a\",\r\n"
    "  \"vbaudio_cable64_2003.sys\": \"5a726f3f1616f587c9f118bf337fd359df3f7cb9fc967a14229d59a31f2a9720\",\r\n"
    "  \"vbaudio_cable64_vista.cat\": \"cc17731e91f2f071e4a108bba34a2b8dcb69ea5975f4b9c39fcbc670e5cf15fb\",\r\n"
    "  \"vbaudio_cable64_vista.sys\": \"703572fa9e8aa1616e6b2abd36b91a4718de77eadc02ae05ed2c8f304d058afc\",\r\n"
    "  \"vbaudio_cable64_win10.cat\": \"0a921ebadbe39cf3fa7c14ff37d1ca22565a9651244bd3ac177dc810bc99072e\",\r\n"
    "  \"vbaudio_cable64_win10.sys\": \"f01344602472f1b527de5ee98f18987c03db48fea444e457d061e937f1d531d5\",\r\n"
    "  \"vbaudio_cable64_win7.cat\": \"800b541f06bba3925ba058e7cc7ca837cfd4d845e073309eb2a9d36a2626403a\",\r\n"
    "  \"vbaudio_cable64_win7.sys\": \"c7f3be383c81ab9aa642479f95872e40e19a4cfd72d4c8d7de80abc11b713e21\",\r\n"
    "  \"vbaudio_cable64arm_win10.sys\": \"2dc35db3dfad0f25771a3e59af38e8b1268878ebe127476ea75fee109f2927dd\",\r\n"
    "  \"VBCABLE_ControlPanel.exe\": \"f5b44706fe7ba2eed0516dee791f826dc7a9891e997f6ce9704e2899300b14ff\",\r\n"
    "  \"VBCABLE_Setup_x64.exe\": \"734c35dfa6d98f48782a451633ceb471166ec70d60482fd89a1123d0ee3c4f41\",\r\n"
    "  \"VBCABLE_Setup.exe\": \"01ffc86b623ff3c75a883aa900c0215a89482988e1c8e55988fc0a9fb513dbed\",\r\n"
    "  \"vbMmeCable_2003.inf\": \"64b67f80535d92a1a8625b4c9b9f7302ed959cb375947ca993b8cbaf205d3569\",\r\n"
    "  \"vbMmeCable_vista.inf\": \"50761a7e817b3a5e96a4eb8e3d31fbc249b0601343dcb732dd3cbe0b0a70f232\",\r\n"
    "  \"vbMmeCable_win7.inf\": \"5664f33116c1021f4280cfde1c571554fbb70b5480bd58a4fd53b281cd4f515c\",\r\n"
    "  \"vbMmeCable_xp.inf\": \"58d9737fa732c11c8cc52839a3f61ecf2cb2a98a7dfffe423e3e591de7f56d46\",\r\n"
    "  \"vbMmeCable64_2003.inf\": \"73aa40eef245da221c6fc6ea3299983421c9a9051df8da7414652304f01bb835\",\r\n"
    "  \"vbMmeCable64_vista.inf\": \"340feb0ce66ffb7922595a763bf23d2fec07bed9e50b6cb6327e559174c515d4\",\r\n"
    "  \"vbMmeCable64_win10.inf\": \"61c857be74831cc299d9be62f8d49d137f14063454fc54f859d5bc9b4b813daf\",\r\n"
    "  \"vbMmeCable64_win7.inf\": \"da35387ccfe813f5c553bb7e0caf4e67adbb4429e742c2bd3c2014f80e6ec516\"\r\n"
    "}\r\n"
    ;
#endif
}  // namespace

const std::string_view DRIVER_MANIFEST{MANIFEST_TEXT, sizeof MANIFEST_TEXT - 1};

}  // namespace tamsel::setup
