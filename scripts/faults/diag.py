# Faults in the log, the analytics events and the language catalogue.
TESTS = 'tst_log|tst_localization'

FAULTS = [
    ('log readable by others', 'src/diag/log.cpp', 'O_NOFOLLOW | O_NONBLOCK, 0600);', 'O_NOFOLLOW | O_NONBLOCK, 0644);'),
    ('log written through a hard link', 'src/diag/log.cpp', ' || st.st_nlink != 1)) {', ')) {'),
    ('log written into a fifo', 'src/diag/log.cpp', '!S_ISREG(st.st_mode) || st.st_nlink', 'st.st_nlink'),
    ('log lost at exit', 'src/diag/log.cpp', '    std::atexit(drainAtExit);', '    (void)drainAtExit;'),
    ('log time in UTC', 'src/diag/log.cpp', '        localtime_r(&when.tv_sec, &local);', '        gmtime_r(&when.tv_sec, &local);'),
    ('line break not escaped', 'src/diag/log_format.cpp', '''        else if (u == u'\\n')
            out += QLatin1String("\\\\n");
''', ''),
    ('escapes in upper case', 'src/diag/log_format.cpp', '''QStringLiteral("\\\\x%1").arg(static_cast<uint>(u), 2, 16, QLatin1Char('0'));''', '''QStringLiteral("\\\\x%1").arg(static_cast<uint>(u), 2, 16, QLatin1Char('0')).toUpper();'''),
    ('event sent without the secret', 'src/diag/analytics.cpp', '    if (s.apiSecret.isEmpty()) {', '    if (false) {'),
    ('no validation post', 'src/diag/analytics.cpp', '''    ITPost(endpointUrl(s, QLatin1StringView("/debug/mp/collect")), body,
           QStringLiteral("debug/mp/collect"), name, true);
''', ''),
    ('reason sent when empty', 'src/diag/analytics.cpp', '    if (!reason.isEmpty())\n        params.insert', '    if (true)\n        params.insert'),
    ('client id changes per event', 'src/diag/analytics.cpp', '''    std::call_once(gClientIdOnce, [] {
        gClientId = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    });''', '''    gClientId = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();'''),
    ('secret not encoded', 'src/diag/analytics.cpp', 'QString::fromLatin1(QUrl::toPercentEncoding(s.apiSecret))', 's.apiSecret'),
    ('plain http allowed', 'src/diag/analytics.cpp', 'curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "https");', 'curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");'),
    ('traditional Chinese missed', 'src/l10n/localization.cpp', 'for (const char *traditional : {"hant", "-tw", "-hk", "-mo"}) {', 'for (const char *traditional : {"hant", "-tw"}) {'),
    ('language case-sensitive', 'src/l10n/localization.cpp', '    const QString id = identifier.toLower();', '    const QString id = identifier;'),
    ('no default language', 'src/l10n/localization.cpp', 'preferred.isEmpty() ? QStringLiteral("en") : preferred.first()', 'preferred.value(0)'),
    ('short caption list not padded', 'src/l10n/slide_captions.cpp', '    while (captions.size() < kSlideCount)\n        captions << QString();\n', ''),
    ('no English fallback', 'src/l10n/slide_captions.cpp', 'own.isArray() ? captionsFrom(own.toArray()) : englishCaptions', 'captionsFrom(own.toArray())'),
    ('non-text caption kept', 'src/l10n/slide_captions.cpp', '(entry.isString() ? entry.toString() : QString())', 'entry.toVariant().toString()'),
    ('log follows a symlink', 'src/diag/log.cpp', 'O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK', 'O_CLOEXEC | O_NONBLOCK'),
    ('log opened blocking', 'src/diag/log.cpp', 'O_NOFOLLOW | O_NONBLOCK, 0600);', 'O_NOFOLLOW, 0600);'),
    ('no queue without a file', 'src/diag/log.cpp', 'gLogQueue = new LogQueue(gLogHandle);', 'gLogQueue = gLogHandle < 0 ? nullptr : new LogQueue(gLogHandle);'),
    ('no post time limit', 'src/diag/analytics.cpp', 'curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, r.timeoutMs);', '(void)r.timeoutMs;'),
    ('line separators kept', 'src/diag/log_format.cpp', 'c == 0x2028 || c == 0x2029 ||', ''),
    ('direction overrides kept', 'src/diag/log_format.cpp', ' ||\n           (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);', ';'),
    ('log emptied at start', 'src/diag/log.cpp', 'O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC', 'O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC'),
    ('unsigned printed as signed', 'src/diag/log_format.cpp', "    case 'u':\n        return QString::number(arg->toUnsigned());", "    case 'u':\n        return QString::number(arg->toSigned());"),
    ('text precision ignored', 'src/diag/log_format.cpp', '        if (conv.precision >= 0)\n            s.truncate(conv.precision);\n', ''),
    ('validation report untrimmed', 'src/diag/analytics.cpp', 'QString::fromUtf8(r.answer).trimmed());', 'QString::fromUtf8(r.answer));'),
    ('empty locale variable counts', 'src/platform/preferred_languages_linux.cpp', '        if (value.isEmpty())\n            continue;\n', ''),
    ('end abandons events in flight', 'src/diag/analytics.cpp', '    if (PostWorker *worker = gWorker)\n        worker->flush(std::chrono::milliseconds(timeoutMs));', '    (void)timeoutMs;'),
    ('end waits past its bound', 'src/diag/analytics.cpp', 'm_settledCondition.wait_for(lock, limit, [this]', '(void)limit;\n        m_settledCondition.wait(lock, [this]'),
    ('wait logged with nothing in flight', 'src/diag/analytics.cpp', '        if (m_inFlight.empty())\n            return;\n', ''),
]
