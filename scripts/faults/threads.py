# Data races, which only the ThreadSanitizer build sees: scripts/plant-faults.sh --preset tsan
PRESET = 'tsan'
TESTS = 'tst_log|tst_downloader|tst_setup_flow'

FAULTS = [
    ('log line queued without the lock', 'src/diag/log.cpp', '            const std::lock_guard lock(m_mutex);\n            m_lines.push_back(std::move(line));', '            m_lines.push_back(std::move(line));'),
    ('analytics request queued without the lock', 'src/diag/analytics.cpp', '            const std::lock_guard lock(m_mutex);\n            if (m_stopping)\n                return;\n            m_inFlight.push_back', '            if (m_stopping)\n                return;\n            m_inFlight.push_back'),
    ('status written after the completion is posted', 'src/engine/downloader.cpp', '            self->onComplete(outcome.ok, outcome.error);\n    });\n', '            self->onComplete(outcome.ok, outcome.error);\n    });\n    httpStatus = 0;\n'),
]
