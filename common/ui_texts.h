// Every text the programs show, as code-page-932 bytes. The sources are
// UTF-8 and the programs use the "A" interfaces on a code-page-932 system, so
// the bytes are spelled out; the UTF-8 form stands beside each one and a test
// converts it and compares.
#pragma once

namespace conf::ui {

// Caption shared by the server's reports and windows
inline constexpr char kCaptionSystem[] =  // Tavilo会議システム
    "Tavilo\x89\xEF\x8B" "c\x83V\x83X\x83" "e\x83\x80";
inline constexpr char kCaptionError[] = "Error";

// Server reports
inline constexpr char kWsaStartupError[] = "WSAStartup Error";
inline constexpr char kSocketFailed[] =  // socket失敗
    "socket\x8E\xB8\x94s";
inline constexpr char kBindFailed[] =  // bindエラーです
    "bind\x83G\x83\x89\x81[\x82\xC5\x82\xB7";
inline constexpr char kAsyncFailed[] =  // 非同期化失敗
    "\x94\xF1\x93\xAF\x8A\xFA\x89\xBB\x8E\xB8\x94s";
inline constexpr char kOtherEvent[] =  // その他
    "\x82\xBB\x82\xCC\x91\xBC";
inline constexpr char kReceiveFailed[] =  // 受信エラーです
    "\x8E\xF3\x90M\x83G\x83\x89\x81[\x82\xC5\x82\xB7";
inline constexpr char kCloseFailed[] =  // ソケットのクローズ失敗
    "\x83\x5C\x83P\x83" "b\x83g\x82\xCC\x83N\x83\x8D\x81[\x83Y\x8E\xB8\x94s";
inline constexpr char kPortInvalid[] =  // ポート番号は1～65535までの数値を入力して下さい
    "\x83|\x81[\x83g\x94\xD4\x8D\x86\x82\xCD" "1\x81`65535\x82\xDC\x82\xC5\x82\xCC\x90\x94\x92l\x82\xF0\x93\xFC\x97\xCD\x82\xB5\x82\xC4\x89\xBA\x82\xB3\x82\xA2";
inline constexpr char kStopQuestion[] =  // サーバーを停止してもよろしいですか
    "\x83T\x81[\x83o\x81[\x82\xF0\x92\xE2\x8E~\x82\xB5\x82\xC4\x82\xE0\x82\xE6\x82\xEB\x82\xB5\x82\xA2\x82\xC5\x82\xB7\x82\xA9";

// Client reports
inline constexpr char kSocketInitFailed[] =  // ｿｹｯﾄの初期化に失敗しました
    "\xBF\xB9\xAF\xC4\x82\xCC\x8F\x89\x8A\xFA\x89\xBB\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD";
inline constexpr char kServerNameInvalid[] =  // サーバー名が不正です
    "\x83T\x81[\x83o\x81[\x96\xBC\x82\xAA\x95s\x90\xB3\x82\xC5\x82\xB7";
inline constexpr char kNameInvalid[] =  // IDが不正です
    "ID\x82\xAA\x95s\x90\xB3\x82\xC5\x82\xB7";
inline constexpr char kServerUnknown[] =  // サーバを特定できません
    "\x83T\x81[\x83o\x82\xF0\x93\xC1\x92\xE8\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1";
inline constexpr char kSocketOpenFailed[] =  // ソケットをオープンできません
    "\x83\x5C\x83P\x83" "b\x83g\x82\xF0\x83I\x81[\x83v\x83\x93\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1";
inline constexpr char kInputEmpty[] =  // 何か記入してください
    "\x89\xBD\x82\xA9\x8BL\x93\xFC\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2";
inline constexpr char kSendFailed[] =  // 送信に失敗しました
    "\x91\x97\x90M\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD";
inline constexpr char kLogCleared[] =  // バッファをクリアします
    "\x83o\x83" "b\x83t\x83@\x82\xF0\x83N\x83\x8A\x83" "A\x82\xB5\x82\xDC\x82\xB7";
inline constexpr char kLoginLater[] =  // 後でもう一度ログインしてください
    "\x8C\xE3\x82\xC5\x82\xE0\x82\xA4\x88\xEA\x93x\x83\x8D\x83O\x83" "C\x83\x93\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2";
inline constexpr char kExitQuestion[] =  // 終了してもよろしいですか
    "\x8FI\x97\xB9\x82\xB5\x82\xC4\x82\xE0\x82\xE6\x82\xEB\x82\xB5\x82\xA2\x82\xC5\x82\xB7\x82\xA9";

// Server window
inline constexpr char kServerTitleRunning[] =  // Tavilo会議サーバー[稼働中!]
    "Tavilo\x89\xEF\x8B" "c\x83T\x81[\x83o\x81[[\x89\xD2\x93\xAD\x92\x86!]";
inline constexpr char kStatusWaiting[] =  // 待機中
    "\x91\xD2\x8B@\x92\x86";
inline constexpr char kStatusRunning[] =  // 稼動中
    "\x89\xD2\x93\xAE\x92\x86";
inline constexpr char kStart[] =  // 開始
    "\x8AJ\x8En";
inline constexpr char kStop[] =  // 終了
    "\x8FI\x97\xB9";
inline constexpr char kLabelPort[] =  // ポート番号
    "\x83|\x81[\x83g\x94\xD4\x8D\x86";
inline constexpr char kLabelPortUnit[] =  // 番
    "\x94\xD4";
inline constexpr char kLabelCount[] =  // 参加者人数
    "\x8EQ\x89\xC1\x8E\xD2\x90l\x90\x94";
inline constexpr char kLabelCountUnit[] =  // 人
    "\x90l";
inline constexpr char kLabelServerUse[] =  // サーバ起動用
    "\x83T\x81[\x83o\x8BN\x93\xAE\x97p";
inline constexpr char kPaintFontFace[] =  // MS 明朝
    "MS \x96\xBE\x92\xA9";

// Client window
inline constexpr char kSend[] =  // 送信
    "\x91\x97\x90M";
inline constexpr char kExit[] =  // 終了
    "\x8FI\x97\xB9";
inline constexpr char kJoin[] =  // 参加
    "\x8EQ\x89\xC1";
inline constexpr char kLabelName[] =  // お名前
    "\x82\xA8\x96\xBC\x91O";
inline constexpr char kLabelServer[] =  // サーバ名
    "\x83T\x81[\x83o\x96\xBC";
inline constexpr char kLabelServerPort[] =  // ポート番号
    "\x83|\x81[\x83g\x94\xD4\x8D\x86";

// Computer-name popup
inline constexpr char kComputerNameCaption[] =  // 貴方のコンピュータ名
    "\x8BM\x95\xFB\x82\xCC\x83R\x83\x93\x83s\x83\x85\x81[\x83^\x96\xBC";

}  // namespace conf::ui
