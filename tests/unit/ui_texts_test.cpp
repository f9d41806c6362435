#include "ui_texts.h"

#include <gtest/gtest.h>

#include <string>

#include "text_codec.h"

namespace conf {
namespace {

struct ShownText {
    const char* utf8;
    const char* cp932;
};

// Each text as written in UTF-8 must convert to exactly the bytes the
// programs show; a mistyped escape or a cut string fails here.
const ShownText kShownTexts[] = {
    {u8"Tavilo会議システム", ui::kCaptionSystem},
    {u8"Error", ui::kCaptionError},
    {u8"WSAStartup Error", ui::kWsaStartupError},
    {u8"socket失敗", ui::kSocketFailed},
    {u8"bindエラーです", ui::kBindFailed},
    {u8"非同期化失敗", ui::kAsyncFailed},
    {u8"その他", ui::kOtherEvent},
    {u8"受信エラーです", ui::kReceiveFailed},
    {u8"ソケットのクローズ失敗", ui::kCloseFailed},
    {u8"ポート番号は1～65535までの数値を入力して下さい", ui::kPortInvalid},
    {u8"サーバーを停止してもよろしいですか", ui::kStopQuestion},
    {u8"ｿｹｯﾄの初期化に失敗しました", ui::kSocketInitFailed},
    {u8"サーバー名が不正です", ui::kServerNameInvalid},
    {u8"IDが不正です", ui::kNameInvalid},
    {u8"サーバを特定できません", ui::kServerUnknown},
    {u8"ソケットをオープンできません", ui::kSocketOpenFailed},
    {u8"何か記入してください", ui::kInputEmpty},
    {u8"送信に失敗しました", ui::kSendFailed},
    {u8"バッファをクリアします", ui::kLogCleared},
    {u8"後でもう一度ログインしてください", ui::kLoginLater},
    {u8"終了してもよろしいですか", ui::kExitQuestion},
    {u8"Tavilo会議サーバー[稼働中!]", ui::kServerTitleRunning},
    {u8"待機中", ui::kStatusWaiting},
    {u8"稼動中", ui::kStatusRunning},
    {u8"開始", ui::kStart},
    {u8"終了", ui::kStop},
    {u8"ポート番号", ui::kLabelPort},
    {u8"番", ui::kLabelPortUnit},
    {u8"参加者人数", ui::kLabelCount},
    {u8"人", ui::kLabelCountUnit},
    {u8"サーバ起動用", ui::kLabelServerUse},
    {u8"MS 明朝", ui::kPaintFontFace},
    {u8"送信", ui::kSend},
    {u8"終了", ui::kExit},
    {u8"参加", ui::kJoin},
    {u8"お名前", ui::kLabelName},
    {u8"サーバ名", ui::kLabelServer},
    {u8"ポート番号", ui::kLabelServerPort},
    {u8"貴方のコンピュータ名", ui::kComputerNameCaption},
};

TEST(UiTexts, AreTheCodePage932FormOfTheirJapanese) {
    for (const ShownText& shown : kShownTexts) {
        std::string converted;
        ASSERT_TRUE(utf8_to_cp932(shown.utf8, &converted)) << shown.utf8;
        EXPECT_EQ(converted, shown.cp932) << shown.utf8;
    }
}

TEST(UiTexts, WaveDashIsTheWindowsByte8160) {
    const std::string port = ui::kPortInvalid;
    EXPECT_NE(port.find("1\x81\x60" "65535"), std::string::npos);
}

TEST(UiTexts, SocketInitialisationMessageUsesHalfWidthKatakana) {
    // ｿｹｯﾄ: four single bytes, not the double-byte ソケット.
    EXPECT_EQ(std::string(ui::kSocketInitFailed).substr(0, 4), "\xBF\xB9\xAF\xC4");
}

}  // namespace
}  // namespace conf
