#pragma once

// Texts of the session that more than one window shows (UTF-8; converted with SJIS() where shown).
namespace SessionTexts {

inline constexpr const char* kTitleRegistering = "クライアント:ユーザー登録";
inline constexpr const char* kTitleAuthenticating = "クライアント:ユーザー認証";
inline constexpr const char* kTitleConnectFailed = "クライアント:接続失敗";
inline constexpr const char* kTitleSignedIn = "クライアント:通信中";
inline constexpr const char* kTitleDisconnected = "クライアント:切断完了";
inline constexpr const char* kTitleServerClosed = "クライアント:切断";

inline constexpr const char* kNotConnected = "サーバーに接続していません。";
inline constexpr const char* kConnectErrorCaption = "接続エラー";
inline constexpr const char* kSorryCaption = "申し訳ありませんが…";
inline constexpr const char* kEnterUserId = "ユーザーIDを入力して下さい。";
inline constexpr const char* kEnterPassword = "Passwordを入力して下さい。";
inline constexpr const char* kUserIdTooLong = "ユーザーIDは半角44字以下でお願いします。";
inline constexpr const char* kPasswordTooLong = "パスワードは半角40字以下でお願いします。";

} // namespace SessionTexts
