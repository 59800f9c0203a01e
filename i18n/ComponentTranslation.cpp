// Translating a whole object tree through the meta-object system: QString
// properties are texts, QStringList properties are string lists, QObject
// children are the owned components and QObject-valued properties lead on.
#include "gnugettext.h"

#include <QMetaProperty>
#include <QObject>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <deque>

namespace kv52804 {

namespace {
void InsertSorted(QStringList& list, const QString& value) {
    const auto it = std::lower_bound(list.begin(), list.end(), value);
    if (it == list.end() || *it != value)
        list.insert(it, value);
}

struct TWalkItem {
    QString Key; // what stands before "." in ignore entries for this object
    QObject* Object;
};
} // namespace

void TGnuGettextInstance::TP_Ignore(QObject*, const QString& name) {
    std::lock_guard lock(FComponentLock);
    InsertSorted(FIgnoreList, name.toUpper());
}

void TGnuGettextInstance::TP_GlobalIgnoreClassProperty(const QMetaObject& cls,
                                                       const QString& propertyName) {
    const QString upper = propertyName.toUpper();
    std::lock_guard lock(FComponentLock);
    // A rule for a class stands before any rule for one of its ancestors, so
    // the list reads from the most derived classes down.
    for (auto it = FClassRules.begin(); it != FClassRules.end(); ++it) {
        if (it->Class == &cls) {
            InsertSorted(it->Properties, upper);
            return;
        }
        if (cls.inherits(it->Class)) {
            FClassRules.insert(it, TClassMode{&cls, {upper}});
            return;
        }
    }
    FClassRules.push_back(TClassMode{&cls, {upper}});
}

std::vector<TGnuGettextInstance::TClassMode> TGnuGettextInstance::ClassRules() const {
    std::lock_guard lock(FComponentLock);
    return FClassRules;
}

QStringList TGnuGettextInstance::IgnoreList() const {
    std::lock_guard lock(FComponentLock);
    return FIgnoreList;
}

void TGnuGettextInstance::TranslateLines(QStringList& lines, const QString& domain) {
    const QString d = domain.isEmpty() ? CurrentDomain() : domain;
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
    QStringList result;
    result.reserve(lines.size());
    for (const QString& line : lines) {
        if (line.isEmpty())
            result << line;
        else
            result << TranslateInDomain(d, line).split(lineBreak);
    }
    lines = result; // one assignment: the list changes once
}

void TGnuGettextInstance::TranslateComponentTree(QObject* root, const QString& domain) {
    const QString d = domain.isEmpty() ? CurrentDomain() : domain;
    QStringList ignore;
    std::vector<TClassMode> rules;
    {
        std::lock_guard lock(FComponentLock);
        ignore = FIgnoreList;
        rules = FClassRules;
    }
    const auto ignored = [&ignore](const QString& name) {
        return std::binary_search(ignore.cbegin(), ignore.cend(), name);
    };

    std::deque<TWalkItem> todo{{QString(), root}};
    QSet<const QObject*> visited;

    const auto translateProperty = [&](QObject* object, const QMetaProperty& property) {
        const QMetaType type = property.metaType();
        if (type.id() == QMetaType::QString) {
            if (!property.isReadable() || !property.isWritable())
                return;
            const QString value = property.read(object).toString();
            if (value.isEmpty())
                return;
            const QString translation = TranslateInDomain(d, value);
            if (translation == value)
                return;
            // Writing may run arbitrary code; look the property up afresh.
            const int index = object->metaObject()->indexOfProperty(property.name());
            if (index < 0)
                throw Exception(QStringLiteral("Property disappeared..."));
            object->metaObject()->property(index).write(object, translation);
        } else if (type.id() == QMetaType::QStringList) {
            if (!property.isReadable() || !property.isWritable())
                return;
            const QStringList value = property.read(object).toStringList();
            QStringList lines = value;
            TranslateLines(lines, d);
            if (lines != value)
                property.write(object, lines);
        } else if (type.flags().testFlag(QMetaType::PointerToQObject)) {
            if (!property.isReadable())
                return;
            if (QObject* target = property.read(object).value<QObject*>())
                todo.push_back({QString(), target});
        }
    };

    while (!todo.empty()) {
        const TWalkItem item = todo.front();
        todo.pop_front();
        if (!item.Object || visited.contains(item.Object))
            continue;
        visited.insert(item.Object);

        const QMetaObject* meta = item.Object->metaObject();
        QSet<QString> classIgnore;
        for (const TClassMode& rule : rules)
            if (meta->inherits(rule.Class))
                for (const QString& p : rule.Properties)
                    classIgnore.insert(p);

        for (int i = 0; i < meta->propertyCount(); ++i) {
            const QMetaProperty property = meta->property(i);
            const QString name = QString::fromLatin1(property.name());
            const QString upper = name.toUpper();
            if (ignored(item.Key + u'.' + upper) || classIgnore.contains(upper))
                continue;
            try {
                translateProperty(item.Object, property);
            } catch (const Exception& e) {
                throw Exception(QStringLiteral("Property cannot be translated.\r\n"
                                               "Use TP_GlobalIgnoreClassProperty(") +
                                QString::fromLatin1(meta->className()) + u',' + name +
                                QStringLiteral(") or\r\nTP_Ignore (self,'.") + name +
                                QStringLiteral("') to prevent this message.\r\nReason: ") +
                                e.Message());
            }
        }

        for (QObject* child : item.Object->children()) {
            const QString name = child->objectName().toUpper();
            if (!ignored(name))
                todo.push_back({name, child});
        }
    }

    std::lock_guard lock(FComponentLock);
    FIgnoreList.clear();
}

} // namespace kv52804
