// Parser of the stored-image announcement. The datagram is handled as
// exactly its received bytes: it is not NUL-terminated and may hold NULs.
#include "studywatch/storeuid.h"

#include <string.h>

#include "runtime/monitormsg.h"

// Sets *word and *wordlen to the bytes from *pos up to the next blank and
// moves *pos past that blank. Returns 0 if there is no blank before end.
static int next_word(const char **pos, const char *end, const char **word, size_t *wordlen)
{
    const char *blank =
        static_cast<const char *>(memchr(*pos, ' ', static_cast<size_t>(end - *pos)));
    if (!blank)
        return 0;
    *word = *pos;
    *wordlen = static_cast<size_t>(blank - *pos);
    *pos = blank + 1;
    return 1;
}

static int word_is(const char *word, size_t wordlen, const char *text)
{
    return wordlen == strlen(text) && memcmp(word, text, wordlen) == 0;
}

static int uid_char(char c, int first)
{
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
        return 1;
    // A leading "-" would read as an option to whatever the renderer runs.
    return !first && (c == '.' || c == '-' || c == '_');
}

int storeuid_parse(const char *data, size_t len, char *uid, size_t uidsize)
{
    const char *pos = data, *end = data + len;
    const char *word;
    size_t wordlen;

    if (!data || len == 0)
        return STOREUID_OTHER;
    if (!next_word(&pos, end, &word, &wordlen))
        return STOREUID_OTHER; // host
    if (!next_word(&pos, end, &word, &wordlen))
        return STOREUID_OTHER; // pid
    if (!next_word(&pos, end, &word, &wordlen) || !word_is(word, wordlen, MONITORMSG_KEYWORD))
        return STOREUID_OTHER;
    if (!next_word(&pos, end, &word, &wordlen) || !word_is(word, wordlen, MONITORMSG_STOREUID))
        return STOREUID_OTHER;
    // The study UID must be followed by a blank: the series UID comes next.
    if (!next_word(&pos, end, &word, &wordlen))
        return STOREUID_OTHER;
    if (wordlen == 0 || wordlen >= uidsize)
        return STOREUID_BADUID;
    for (size_t i = 0; i < wordlen; i++)
        if (!uid_char(word[i], i == 0))
            return STOREUID_BADUID;
    memcpy(uid, word, wordlen);
    uid[wordlen] = '\0';
    return STOREUID_OK;
}
