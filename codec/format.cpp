#include "codec/format.h"

namespace molvar {

#define MOLVAR_WORD(text) {text, sizeof(text) - 1}

// Only the index travels; index 0 is a placeholder.
const VocabWord cMolvar_vocabulary[VOCABULARY_SIZE] = {
    MOLVAR_WORD("Dummy"),         MOLVAR_WORD("None"),
    MOLVAR_WORD("class"),         MOLVAR_WORD("dereference"),
    MOLVAR_WORD("reference"),     MOLVAR_WORD("dictionary"),
    MOLVAR_WORD("function"),      MOLVAR_WORD("instance"),
    MOLVAR_WORD("list"),          MOLVAR_WORD("module"),
    MOLVAR_WORD("persistent"),    MOLVAR_WORD("tuple"),
    MOLVAR_WORD("unpersistable"), MOLVAR_WORD("copy"),
    MOLVAR_WORD("cache"),         MOLVAR_WORD("cached"),
    MOLVAR_WORD("remote"),        MOLVAR_WORD("local"),
    MOLVAR_WORD("lcache"),        MOLVAR_WORD("version"),
    MOLVAR_WORD("login"),         MOLVAR_WORD("password"),
    MOLVAR_WORD("challenge"),     MOLVAR_WORD("perspective"),
    MOLVAR_WORD("inperspective"), MOLVAR_WORD("cachemessage"),
    MOLVAR_WORD("message"),       MOLVAR_WORD("answer"),
    MOLVAR_WORD("error"),         MOLVAR_WORD("decref"),
    MOLVAR_WORD("decache"),       MOLVAR_WORD("uncache"),
};

#undef MOLVAR_WORD

}  // namespace molvar
